// SPDX-License-Identifier: MIT
#include "core/run/run_summary.h"

#include <algorithm>

namespace kestrel {

std::string_view rawValue(FileStatus status) {
  switch (status) {
    case FileStatus::failed:
      return "error";
    case FileStatus::filtered:
      return "filtered";
    case FileStatus::review:
      return "review";
    case FileStatus::unchanged:
      return "unchanged";
    case FileStatus::cropped:
      return "cropped";
  }
  return "error";
}

FileStatus FileResult::status() const {
  if (error) return FileStatus::failed;
  if (filteredReason) return FileStatus::filtered;
  if (reviewReason) return FileStatus::review;
  if (!decision || !decision->crop) return FileStatus::unchanged;
  return FileStatus::cropped;
}

std::string_view FileResult::destinationFolder() const {
  switch (status()) {
    case FileStatus::filtered:
      return "filtered";
    case FileStatus::review:
      return "review";
    default:
      return "photos";
  }
}

void StatusCounts::add(FileStatus status) {
  switch (status) {
    case FileStatus::failed:
      ++failed;
      break;
    case FileStatus::filtered:
      ++filtered;
      break;
    case FileStatus::review:
      ++review;
      break;
    case FileStatus::unchanged:
      ++unchanged;
      break;
    case FileStatus::cropped:
      ++cropped;
      break;
  }
}

double RunSummary::imagesPerSecond() const {
  return static_cast<double>(processed) / std::max(processingSeconds, 0.000001);
}

double RunSummary::endToEndSeconds() const {
  return scanSeconds + modelStartupSeconds + processingSeconds + reportSeconds;
}

}  // namespace kestrel
