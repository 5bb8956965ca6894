// SPDX-License-Identifier: MIT
// Records of the subject-sharpness stage: verdict, assessment, focus
// measures and the grayscale patch they are measured on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/geometry.h"
#include "core/base/image.h"

namespace kestrel {

enum class SharpnessVerdict { sharp, soft, blurred, review };

inline constexpr std::array<SharpnessVerdict, 4> allSharpnessVerdicts = {
    SharpnessVerdict::sharp, SharpnessVerdict::soft, SharpnessVerdict::blurred,
    SharpnessVerdict::review};

std::string_view rawValue(SharpnessVerdict verdict);
// Accepts exactly "sharp", "soft", "blurred" and "review".
std::optional<SharpnessVerdict> sharpnessVerdictFromRaw(std::string_view text);

// The four focus measures of one grayscale patch (intensities 0…255).
struct FocusMetrics {
  double laplacianVariance = 0;   // variance of the 4-neighbour Laplacian (intensity²)
  double gradientEnergy = 0;      // mean squared central-difference gradient (intensity²)
  double highFrequencyRatio = 0;  // laplacianVariance ÷ max(gradientEnergy, 1e-6)
  double contrast = 0;            // standard deviation of the smoothed intensities

  // Measures `patch`; a patch under 8 pixels on a side, or whose byte count
  // is not width × height, measures all zeros. Never fails.
  static FocusMetrics measure(const GrayPatch& patch);

  bool operator==(const FocusMetrics&) const = default;
};

namespace RegionKind {
inline constexpr std::string_view face = "face";
inline constexpr std::string_view upperBody = "upperBody";
inline constexpr std::string_view unavailable = "unavailable";
}  // namespace RegionKind

// The analyzer's judgement of one photo's main subject.
struct SharpnessAssessment {
  SharpnessVerdict verdict = SharpnessVerdict::review;
  std::string regionKind = std::string(RegionKind::unavailable);
  std::optional<Box> region;     // display space, clipped; absent when nothing was measured
  FocusMetrics metrics;          // of the measured patch; all zero when none was measured
  std::int64_t sampleWidth = 0;  // size of the normalized patch that was measured
  std::int64_t sampleHeight = 0;
  std::string reason;
  std::optional<Box> subject;  // the detected person's box, exactly as reported
  std::optional<Box> face;
  // Boxes of other assessed runners that must not become composition partners.
  std::optional<std::vector<Box>> unsuitableForComposition;

  // Nothing could be measured: verdict review, region kind "unavailable".
  static SharpnessAssessment review(std::string reason);

  // Short display text of the verdict.
  std::string_view label() const;

  bool operator==(const SharpnessAssessment&) const = default;
};

std::string_view verdictLabel(SharpnessVerdict verdict);

}  // namespace kestrel
