// SPDX-License-Identifier: MIT
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

std::string_view rawValue(SharpnessVerdict verdict) {
  switch (verdict) {
    case SharpnessVerdict::sharp:
      return "sharp";
    case SharpnessVerdict::soft:
      return "soft";
    case SharpnessVerdict::blurred:
      return "blurred";
    case SharpnessVerdict::review:
      return "review";
  }
  return "review";
}

std::optional<SharpnessVerdict> sharpnessVerdictFromRaw(std::string_view text) {
  for (SharpnessVerdict verdict : allSharpnessVerdicts) {
    if (rawValue(verdict) == text) return verdict;
  }
  return std::nullopt;
}

std::string_view verdictLabel(SharpnessVerdict verdict) {
  switch (verdict) {
    case SharpnessVerdict::sharp:
      return "主体清晰";
    case SharpnessVerdict::soft:
      return "主体略软";
    case SharpnessVerdict::blurred:
      return "主体明显模糊";
    case SharpnessVerdict::review:
      return "需复核";
  }
  return "需复核";
}

SharpnessAssessment SharpnessAssessment::review(std::string reason) {
  SharpnessAssessment a;
  a.verdict = SharpnessVerdict::review;
  a.regionKind = std::string(RegionKind::unavailable);
  a.reason = std::move(reason);
  return a;
}

std::string_view SharpnessAssessment::label() const { return verdictLabel(verdict); }

}  // namespace kestrel
