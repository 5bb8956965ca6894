// SPDX-License-Identifier: MIT
// BatchConfiguration and the small enumerations a run is described with.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/file_io.h"
#include "core/detection/compute_choice.h"
#include "core/run/parameters.h"

namespace kestrel {

// What a batch does with each photo. The text form is the raw value.
enum class ProcessingMode {
  automatic,  // "auto": detection, sharpness screening and crop planning
  copy,       // "copy": every photo copied unchanged, no analysis (baseline)
  fixed,      // "fixed": centred crop at the largest allowed trim (engine benchmark)
};

inline constexpr std::array<ProcessingMode, 3> allProcessingModes = {
    ProcessingMode::automatic, ProcessingMode::copy, ProcessingMode::fixed};

std::string_view rawValue(ProcessingMode mode);
// Accepts exactly "auto", "copy" and "fixed".
std::optional<ProcessingMode> processingModeFromRaw(std::string_view text);

// Number of workers used when none is chosen: the active processors,
// within the range of parameters::workers.
int defaultWorkerCount();

// Everything one batch run needs to know. A plain value: copied into the run
// and into its summary.
struct BatchConfiguration {
  BatchConfiguration(std::filesystem::path input, std::filesystem::path outputRoot);

  std::filesystem::path input;       // read only, never written
  std::filesystem::path outputRoot;  // the batch directory is reserved under it
  std::optional<std::filesystem::path> model;
  // The face detector's folder; none means the usual search. Not part of the
  // saved configuration's required keys.
  std::optional<std::filesystem::path> faceModel;
  int workers = defaultWorkerCount();
  double maximumTrim = *parameters::maximumTrim.defaultValue;
  std::int64_t minimumLongEdge = *parameters::minimumLongEdge.defaultValue;
  std::int64_t minimumPixelCount = *parameters::minimumPixelCount.defaultValue;
  double confidence = *parameters::confidence.defaultValue;
  std::int64_t analysisLongEdge = *parameters::analysisLongEdge.defaultValue;
  std::int64_t previewCount = *parameters::previewCount.defaultValue;
  std::optional<std::int64_t> limit;
  bool readBibs = parameters::readBibs.defaultValue;  // automatic mode only
  bool writeBibKeywords = parameters::writeBibKeywords.defaultValue;
  ProcessingMode mode = ProcessingMode::automatic;
  ComputeChoice compute = ComputeChoice::all;
  std::string datasetLabel = "用户提供的 JPEG；设备本地读取";
  std::optional<std::string> eventName;
  std::optional<std::string> eventDate;  // "yyyyMMdd"
  std::optional<std::string> sourceIdentity;

  // Throws CropError when the run must not start: first the batch name and
  // date, then the parameter ranges, then the folders (output independent of
  // the input; input an existing directory). Ranges are checked before any
  // file system access.
  void validate() const;

  bool operator==(const BatchConfiguration&) const = default;
};

namespace messages {
// The one message for any option outside its range, naming the ranges of
// the parameter table.
std::string invalidParameters();
inline constexpr std::string_view outputNotIndependent =
    "输出必须与输入互相独立，不能相同、位于输入内或是输入的上级目录。";
inline constexpr std::string_view inputMissing = "输入文件夹不存在：";
}  // namespace messages

}  // namespace kestrel
