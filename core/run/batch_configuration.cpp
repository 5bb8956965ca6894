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
    case ProcessingMode::automatic:
      return "auto";
    case ProcessingMode::copy:
      return "copy";
    case ProcessingMode::fixed:
      return "fixed";
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
  return static_cast<int>(
      std::clamp<long>(online, parameters::workers.minimum, parameters::workers.maximum));
}

BatchConfiguration::BatchConfiguration(fs::path input, fs::path outputRoot)
    : input(std::move(input)), outputRoot(std::move(outputRoot)) {}

namespace {

bool parametersInRange(const BatchConfiguration& c) {
  using namespace parameters;
  return workers.accepts(c.workers) && maximumTrim.accepts(c.maximumTrim) &&
         minimumPixelCount.accepts(c.minimumPixelCount) &&
         minimumLongEdge.accepts(c.minimumLongEdge) && confidence.accepts(c.confidence) &&
         analysisLongEdge.accepts(c.analysisLongEdge) && previewCount.accepts(c.previewCount) &&
         (!c.limit || limit.accepts(*c.limit));
}

template <typename T>
std::string span(const Parameter<T>& p) {
  return std::to_string(p.minimum) + "–" + std::to_string(p.maximum);
}

// True when `path` is `ancestor` or lies below it, comparing path strings.
bool startsWithFolder(const std::string& path, std::string ancestor) {
  if (ancestor.empty() || ancestor.back() != '/') ancestor += '/';
  return path.starts_with(ancestor);
}

}  // namespace

std::string messages::invalidParameters() {
  using namespace parameters;
  const auto percent = [](double share) { return std::to_string(std::lround(share * 100)); };
  return "参数无效：并发 " + span(workers) + "、裁剪上限 " + percent(maximumTrim.minimum) + "–" +
         percent(maximumTrim.maximum) + "%、最低像素不低于" +
         std::to_string(minimumPixelCount.minimum / 10'000) + "万、小图长边 " +
         span(analysisLongEdge) + "、预览 " + span(previewCount) + "。";
}

void BatchConfiguration::validate() const {
  BatchDirectory::validate(eventName, eventDate);

  if (!parametersInRange(*this)) throw CropError(messages::invalidParameters());

  const std::string in = canonicalURL(input).string();
  const std::string out = canonicalURL(outputRoot).string();
  if (in == out || startsWithFolder(in, out) || startsWithFolder(out, in)) {
    throw CropError(std::string(messages::outputNotIndependent));
  }

  std::error_code ec;
  if (!fs::is_directory(in, ec)) throw CropError(std::string(messages::inputMissing) + in);
}

}  // namespace kestrel
