// SPDX-License-Identifier: MIT
#include "core/run/batch_configuration.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>
#include <vector>

#include "core/base/crop_error.h"
#include "core/run/event_label.h"

namespace kestrel {

namespace fs = std::filesystem;

std::string_view rawValue(ProcessingMode mode) {
  switch (mode) {
    case ProcessingMode::automatic: return "auto";
    case ProcessingMode::copy: return "copy";
    case ProcessingMode::fixed: return "fixed";
  }
  return "auto";
}

std::optional<ProcessingMode> processingModeFromRaw(std::string_view text) {
  for (ProcessingMode mode : allProcessingModes) {
    if (rawValue(mode) == text) return mode;
  }
  return std::nullopt;
}

int defaultWorkerCount() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<int>(std::clamp<long>(online, 1, 8));
}

BatchConfiguration::BatchConfiguration(fs::path input, fs::path outputRoot)
    : input(std::move(input)), outputRoot(std::move(outputRoot)) {}

fs::path canonicalURL(const fs::path& path) {
  // Standardise: make absolute and drop "." / ".." / duplicate separators
  // lexically, as the walk below must not touch the file system for them.
  fs::path current = fs::absolute(path).lexically_normal();
  if (current.has_relative_path() && !current.has_filename()) current = current.parent_path();

  std::vector<fs::path> missing;
  std::error_code ec;
  while (current != current.root_path() && !fs::exists(current, ec)) {
    missing.push_back(current.filename());
    current = current.parent_path();
  }
  fs::path resolved = fs::canonical(current, ec);
  if (ec) resolved = current;  // unreadable ancestor: keep the standardised form
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) resolved /= *it;
  return resolved;
}

namespace {

bool parametersInRange(const BatchConfiguration& c) {
  // Comparisons are written so that a NaN fails them.
  return c.workers >= 1 && c.workers <= 8 &&                                   //
         c.maximumTrim >= 0.0 && c.maximumTrim <= 0.15 &&                      //
         c.minimumPixelCount >= 18'000'000 && c.minimumPixelCount <= 140'000'000 &&
         c.minimumLongEdge >= 0 &&                                             //
         c.confidence >= 0.2 && c.confidence <= 0.95 &&                        //
         c.analysisLongEdge >= 416 && c.analysisLongEdge <= 2048 &&            //
         c.previewCount >= 0 && c.previewCount <= 200 &&                       //
         (!c.limit || *c.limit >= 1);
}

// True when `path` is `ancestor` or lies below it, comparing path strings.
bool startsWithFolder(const std::string& path, std::string ancestor) {
  if (ancestor.empty() || ancestor.back() != '/') ancestor += '/';
  return path.starts_with(ancestor);
}

}  // namespace

void BatchConfiguration::validate() const {
  BatchDirectory::validate(eventName, eventDate);

  if (!parametersInRange(*this)) throw CropError(std::string(messages::invalidParameters));

  const std::string in = canonicalURL(input).string();
  const std::string out = canonicalURL(outputRoot).string();
  if (in == out || startsWithFolder(in, out) || startsWithFolder(out, in)) {
    throw CropError(std::string(messages::outputNotIndependent));
  }

  std::error_code ec;
  if (!fs::is_directory(in, ec)) throw CropError(std::string(messages::inputMissing) + in);
}

}  // namespace kestrel
