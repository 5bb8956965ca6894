// SPDX-License-Identifier: MIT
// BatchDirectory: chooses, checks and creates the directory of each run.
//
// Labelled runs (an event name and date) are numbered per source card:
// "<event>-<yyyyMMdd>-卡<n>", a new card counts up, the same card again gets
// "<…>-卡<n>-重跑<k>" beside its first directory. Which source got which
// number is kept in ".sunying-batches.json" in the output root, guarded by an
// flock on ".sunying-batches.lock". Unlabelled runs get
// "隼影-<yyyyMMdd-HHmmss>-<6 hex>".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/run/event_label.h"

namespace kestrel::BatchDirectory {

inline constexpr std::string_view registryFileName = ".sunying-batches.json";
inline constexpr std::string_view lockFileName = ".sunying-batches.lock";

// Creates the run's new, empty directory under `root` and returns it.
std::filesystem::path reserve(const std::filesystem::path& root,
                              const std::optional<std::string>& label,
                              const std::optional<std::string>& date,
                              const std::string& sourceIdentity);

}  // namespace kestrel::BatchDirectory
