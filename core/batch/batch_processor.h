// SPDX-License-Identifier: MIT
// BatchProcessor: one run over a folder of JPEGs, from validation to reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/batch/worker.h"
#include "core/run/batch_configuration.h"
#include "core/run/cancellation_token.h"
#include "core/run/run_summary.h"

namespace kestrel::BatchProcessor {

using ProgressCallback = std::function<void(const BatchProgress&)>;

// Hooks that let tests replace what the machine reports.
struct Environment {
  // Free bytes of the file system holding the output root; nullopt when the
  // file system reports none. Default: statvfs.
  std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeBytes;
};

// Runs a whole batch: validates, lists the input JPEGs, checks the disk,
// reserves the batch directory, starts the workers, waits for them (or for
// a stop request), and writes the reports. Blocks until done; the progress
// callback is called from the worker threads. Throws what ends the run.
RunSummary run(const BatchConfiguration& config, std::shared_ptr<CancellationToken> cancellation,
               ProgressCallback progress = {}, const Environment& environment = {});

// Takes one file through the pipeline; never throws — a failure is recorded
// in the result's `error`. `output` is the batch directory's "photos" folder.
FileResult process(std::int64_t index, const std::filesystem::path& url,
                   const std::filesystem::path& input, const std::filesystem::path& output,
                   const BatchConfiguration& config, Worker& worker);

// The input JPEGs in byte order of their paths, at most `limit` of them.
// Hidden entries and anything reached through a symbolic link are skipped.
std::vector<std::filesystem::path> enumerate(const std::filesystem::path& input,
                                             std::optional<std::int64_t> limit);

// Value of an ascending list at fraction p, without interpolation.
double percentile(const std::vector<double>& ascending, double p);

// "<processor>; <n> GiB RAM" and "<distribution> <kernel release>".
std::string machineDescription();
std::string osDescription();

}  // namespace kestrel::BatchProcessor
