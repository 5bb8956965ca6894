// SPDX-License-Identifier: MIT
#include "core/run/run_summary.h"

#include <algorithm>

namespace kestrel {

std::string_view FileResult::status() const {
  if (error) return "error";
  if (filteredReason) return "filtered";
  if (reviewReason) return "review";
  if (!decision || !decision->crop) return "unchanged";
  return "cropped";
}

std::string_view FileResult::destinationFolder() const {
  const std::string_view s = status();
  if (s == "filtered" || s == "review") return s;
  return "photos";
}

double RunSummary::imagesPerSecond() const {
  return static_cast<double>(processed) / std::max(processingSeconds, 0.000001);
}

double RunSummary::endToEndSeconds() const {
  return scanSeconds + modelStartupSeconds + processingSeconds + reportSeconds;
}

}  // namespace kestrel
