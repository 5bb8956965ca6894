// SPDX-License-Identifier: MIT
// The records that carry results out of a batch run: per-file results,
// progress snapshots and the run summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/bib.h"
#include "core/base/jpeg_info.h"
#include "core/planning/crop_decision.h"
#include "core/run/batch_configuration.h"
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

// Seconds spent in each stage of one file; a stage that did not run stays 0.
struct StageTimes {
  double read = 0;
  double header = 0;
  double thumbnail = 0;
  double inference = 0;
  double sharpness = 0;
  double planning = 0;
  double transform = 0;
  double write = 0;
  double bibs = 0;  // reading the runners' race numbers, after sharpness

  bool operator==(const StageTimes&) const = default;
};

// Where a file ended up, the first that applies: it failed, it was filtered
// out, it is held for review, it was delivered whole, or it was cropped.
// The text forms are "error", "filtered", "review", "unchanged", "cropped".
enum class FileStatus { failed, filtered, review, unchanged, cropped };

std::string_view rawValue(FileStatus status);

// The outcome of one input file.
struct FileResult {
  std::int64_t index = 0;    // position in the sorted input list
  std::string relativePath;  // relative to the canonical input folder, "/"-separated
  std::int64_t inputBytes = 0;
  std::int64_t outputBytes = 0;
  std::optional<JPEGInfo> info;
  std::int64_t orientation = 1;  // EXIF orientation; 1 when absent, not range-checked
  std::optional<CropDecision> decision;
  std::optional<SharpnessAssessment> sharpness;
  std::optional<std::string> filteredReason;
  std::optional<std::string> reviewReason;
  std::optional<std::string> error;
  std::vector<Bib> bibs;  // race numbers read on the runners' bibs (automatic mode)
  StageTimes timings;
  double elapsedSeconds = 0;

  FileStatus status() const;
  // "filtered", "review" or "photos" (cropped and unchanged share one folder).
  std::string_view destinationFolder() const;

  bool operator==(const FileResult&) const = default;
};

// How many files ended in each status.
struct StatusCounts {
  std::int64_t cropped = 0;
  std::int64_t unchanged = 0;
  std::int64_t filtered = 0;
  std::int64_t review = 0;
  std::int64_t failed = 0;

  void add(FileStatus status);
  bool operator==(const StatusCounts&) const = default;
};

// A snapshot sent after each finished file.
struct BatchProgress {
  std::int64_t completed = 0;
  std::int64_t total = 0;
  StatusCounts counts;
  double elapsedSeconds = 0;  // since the processing phase began
  std::string lastFile;

  bool operator==(const BatchProgress&) const = default;
};

// The record of a finished run, written as summary.json.
struct RunSummary {
  explicit RunSummary(BatchConfiguration config) : configuration(std::move(config)) {}

  std::int64_t schemaVersion = 2;
  std::chrono::system_clock::time_point createdAt;
  BatchConfiguration configuration;
  std::optional<std::string> modelPath;  // absent unless a model was loaded
  std::string machine;
  std::string os;
  std::filesystem::path runDirectory;
  std::int64_t discovered = 0;
  std::int64_t processed = 0;
  StatusCounts counts;
  bool cancelled = false;
  double scanSeconds = 0;
  double modelStartupSeconds = 0;
  double processingSeconds = 0;
  double reportSeconds = 0;
  std::optional<double> firstOutputSeconds;
  double p50FileMilliseconds = 0;
  double p95FileMilliseconds = 0;
  std::int64_t inputBytes = 0;
  std::int64_t outputBytes = 0;
  std::vector<FileResult> files;  // sorted by index

  double imagesPerSecond() const;
  double endToEndSeconds() const;

  bool operator==(const RunSummary&) const = default;
};

}  // namespace kestrel
