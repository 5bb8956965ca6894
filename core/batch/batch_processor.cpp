// SPDX-License-Identifier: MIT
#include "core/batch/batch_processor.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base/clock.h"
#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/base/text.h"
#include "core/bibs/bib_keywords.h"
#include "core/cards/camera_cards.h"
#include "core/output/batch_directory.h"
#include "core/output/report_writer.h"
#include "core/planning/crop_planner.h"

namespace kestrel::BatchProcessor {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNoInputFiles = "输入文件夹中没有 JPG/JPEG 文件。";
constexpr std::string_view kCopyBaselineReason = "原样复制基线（未运行 AI）";
constexpr std::uint64_t kDiskReserve = 2'147'483'648;  // 2 GiB beside the photos themselves

std::string relativePathOf(const fs::path& url, const fs::path& input) {
  const std::string path = url.string();
  std::string prefix = input.string();
  if (!prefix.ends_with('/')) prefix += '/';
  return path.starts_with(prefix) ? path.substr(prefix.size()) : url.filename().string();
}

std::optional<std::uint64_t> statvfsFreeBytes(const fs::path& path) {
  struct statvfs st {};
  if (::statvfs(path.c_str(), &st) != 0) throwErrno(path.string());
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

void checkDiskSpace(const std::vector<fs::path>& files, const fs::path& outputRoot,
                    const Environment& environment) {
  // A file gone since it was listed (a card pulled, a file deleted) counts
  // as nothing here: the run goes on, and reading it fails later with that
  // file's own message in the records.
  std::uint64_t total = 0;
  for (const fs::path& file : files) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (!error) total += size;
  }
  const std::uint64_t required =
      static_cast<std::uint64_t>(static_cast<double>(total) * 1.15) + kDiskReserve;
  const auto reported =
      environment.freeBytes ? environment.freeBytes(outputRoot) : statvfsFreeBytes(outputRoot);
  const std::uint64_t free = reported.value_or(0);
  if (free < required) {
    throw CropError("输出盘剩余 " + decimalText(static_cast<double>(free) / 1e9, 1) +
                    " GB；本批保守预计需要 " + decimalText(static_cast<double>(required) / 1e9, 1) +
                    " GB（含 2 GiB 余量）。请更换输出盘或缩小测试数量。");
  }
}

// The state the workers share: the next index to hand out and the results.
class WorkState {
 public:
  // Hands out the next file index, or nothing when all are taken.
  std::optional<std::size_t> claim(std::size_t total) {
    std::lock_guard guard(lock_);
    if (cursor_ >= total) return std::nullopt;
    return cursor_++;
  }

  BatchProgress add(FileResult result, std::int64_t total, double start) {
    std::lock_guard guard(lock_);
    const double now = monotonicSeconds();
    if (!result.error && !first_) first_ = now - start;
    counts_.add(result.status());
    std::string lastFile = result.relativePath;
    results_.push_back(std::move(result));
    return BatchProgress{static_cast<std::int64_t>(results_.size()), total, counts_, now - start,
                         std::move(lastFile)};
  }

  // After the workers have been joined.
  std::vector<FileResult> takeResults() { return std::move(results_); }
  std::optional<double> first() const { return first_; }
  const StatusCounts& counts() const { return counts_; }

 private:
  std::mutex lock_;
  std::size_t cursor_ = 0;
  std::vector<FileResult> results_;
  std::optional<double> first_;
  StatusCounts counts_;
};

// Flushes every folder that received a photo, and the folders above it up
// to the batch directory, so that the photos' names are on the disk before
// the reports say they were delivered.
void flushOutputFolders(const RunSummary& summary) {
  std::set<fs::path> folders;
  for (const FileResult& r : summary.files) {
    if (r.error) continue;
    fs::path folder =
        (summary.runDirectory / std::string(r.destinationFolder()) / r.relativePath).parent_path();
    while (folders.insert(folder).second && folder != summary.runDirectory) {
      folder = folder.parent_path();
    }
  }
  folders.insert(summary.runDirectory);
  for (const fs::path& folder : folders) flushFolder(folder);
}

// What the operator needs when the reports cannot be written (a full disk):
// the photos are there, and where.
std::string unreportedRunMessage(const RunSummary& s, const std::string& error) {
  const StatusCounts& n = s.counts;
  std::error_code ec;
  if (!fs::is_directory(s.runDirectory, ec)) {
    return "批次报告未能写出（" + error + "）。批次目录 " + s.runDirectory.string() +
           " 已不存在（输出盘是否已断开？），其中的照片没有保存下来；原片未改动，请重新运行本批。";
  }
  return "批次报告未能写出（" + error + "）。已完成的照片都保留在 " + s.runDirectory.string() +
         "：photos/ " + std::to_string(n.cropped + n.unchanged) + " 张，filtered/ " +
         std::to_string(n.filtered) + " 张，review/ " + std::to_string(n.review) + " 张；另有 " +
         std::to_string(n.failed) + " 张失败未写出。";
}

std::string readFirstLine(const fs::path& path, std::string_view key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(key)) return line.substr(key.size());
  }
  return "";
}

}  // namespace

std::vector<fs::path> enumerate(const fs::path& input, std::optional<std::int64_t> limit) {
  std::vector<fs::path> files;
  std::vector<fs::path> folders{input};
  while (!folders.empty()) {
    const fs::path folder = std::move(folders.back());
    folders.pop_back();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec && folder == input) throw CropError("无法读取输入目录");
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path& path = it->path();
      if (path.filename().native().starts_with('.')) continue;
      const fs::file_status status = it->symlink_status(ec);
      // An entry removed while the folder is listed is no longer part of
      // the input; one whose properties cannot be read (a folder that can
      // be listed but not entered, a path beyond PATH_MAX) ends the walk
      // like an unreadable folder, naming it, rather than silently leaving
      // its photos out.
      if (ec == std::errc::no_such_file_or_directory) {
        ec.clear();
        continue;
      }
      if (ec) throw std::system_error(ec, path.string());
      if (fs::is_symlink(status)) continue;
      if (fs::is_directory(status)) {
        folders.push_back(path);
      } else if (fs::is_regular_file(status)) {
        std::string extension = path.extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (extension == ".jpg" || extension == ".jpeg") files.push_back(path);
      }
    }
    // A folder that cannot be read ends the walk; the error names it.
    if (ec) throw std::system_error(ec, folder.string());
  }
  std::sort(files.begin(), files.end(),
            [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
  if (limit && static_cast<std::int64_t>(files.size()) > *limit) {
    files.resize(static_cast<std::size_t>(std::max<std::int64_t>(*limit, 0)));
  }
  return files;
}

double percentile(const std::vector<double>& ascending, double p) {
  if (ascending.empty()) return 0;
  const std::size_t last = ascending.size() - 1;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(last));
  return ascending[std::min(k, last)];
}

std::string machineDescription() {
  const std::string processor = readFirstLine("/proc/cpuinfo", "model name\t: ");
  const auto memory = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                      static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  return processor + "; " + std::to_string(memory >> 30) + " GiB RAM";
}

std::string osDescription() {
  std::string name = readFirstLine("/etc/os-release", "PRETTY_NAME=");
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = name.substr(1, name.size() - 2);
  utsname system{};
  if (::uname(&system) == 0) name += (name.empty() ? "" : " ") + std::string(system.release);
  return name;
}

FileResult process(std::int64_t index, const fs::path& url, const fs::path& input,
                   const fs::path& output, const BatchConfiguration& config, Worker& worker) {
  const double t0 = monotonicSeconds();
  FileResult result;
  result.index = index;
  result.relativePath = relativePathOf(url, input);
  StageTimes& times = result.timings;
  try {
    const Bytes data = timedInto(times.read, [&] { return readFile(url); });
    result.inputBytes = static_cast<std::int64_t>(data.size());

    const ImageSource source = timedInto(times.header, [&] {
      result.info = worker.jpeg.header(data);
      ImageSource made = ImagePreparation::source(data);
      result.orientation = ImagePreparation::orientation(made);
      return made;
    });
    const JPEGInfo& info = *result.info;
    const int orientation = static_cast<int>(result.orientation);
    const std::vector<Person> people = worker.analyze(source, info, orientation, config, result);

    const CropPlanner planner{config.maximumTrim, config.minimumLongEdge, config.minimumPixelCount,
                              config.confidence};
    if (config.mode != ProcessingMode::copy) {
      switch (planner.screen(info, result.sharpness)) {
        case Screening::pass:
          break;
        case Screening::tooFewPixels:
          result.filteredReason = "原片不足" + std::to_string(config.minimumPixelCount / 10000) +
                                  "万像素，不放大，单独存放";
          break;
        case Screening::blurred:
          result.filteredReason = result.sharpness->reason;
          break;
        case Screening::review:
          result.reviewReason = result.sharpness->reason;
          break;
      }
    }

    result.decision = timedInto(times.planning, [&] {
      if (config.mode == ProcessingMode::copy) {
        CropDecision baseline;
        baseline.reason = std::string(kCopyBaselineReason);
        return baseline;
      }
      return planner.plan(info, orientation, people, config.mode == ProcessingMode::fixed,
                          result.sharpness);
    });

    const Bytes out = timedInto(times.transform, [&] {
      Bytes photo = result.decision->crop ? worker.jpeg.crop(data, *result.decision->crop) : data;
      // Delivered photos carry their runners' numbers when asked; the
      // keywords go into the bytes before the one durable write below.
      if (config.writeBibKeywords && !result.bibs.empty() &&
          result.destinationFolder() == "photos") {
        std::vector<std::string> numbers;
        for (const Bib& bib : result.bibs) numbers.push_back(bib.number);
        photo = withBibKeywords(photo, numbers);
      }
      return photo;
    });
    result.outputBytes = static_cast<std::int64_t>(out.size());

    double writeSeconds = 0;
    timedInto(writeSeconds, [&] {
      const fs::path destination =
          output.parent_path() / std::string(result.destinationFolder()) / result.relativePath;
      createFoldersBelow(
          output.parent_path(),
          (fs::path(std::string(result.destinationFolder())) / result.relativePath).parent_path());
      writeNewFile(destination, out.span());
    });
    times.write = writeSeconds;  // only a completed write is timed
  } catch (const std::exception& error) {
    result.error = error.what();
  }
  result.elapsedSeconds = monotonicSeconds() - t0;
  return result;
}

RunSummary run(const BatchConfiguration& config, std::shared_ptr<CancellationToken> cancellation,
               ProgressCallback progress, const Environment& environment) {
  config.validate();

  const double t0 = monotonicSeconds();
  const fs::path input = canonicalURL(config.input);
  const std::vector<fs::path> files = enumerate(input, config.limit);
  if (files.empty()) throw CropError(std::string(kNoInputFiles));
  const double scanSeconds = monotonicSeconds() - t0;

  fs::create_directories(config.outputRoot);
  checkDiskSpace(files, config.outputRoot, environment);

  // The card the photos come from, or their folder: a card keeps its number
  // whichever folder on it is chosen.
  std::string sourceIdentity;
  if (config.sourceIdentity) {
    sourceIdentity = *config.sourceIdentity;
  } else if (config.eventName && !config.eventName->empty()) {
    sourceIdentity = CameraCards::sourceIdentity(input);
  }
  const fs::path runDirectory = BatchDirectory::reserve(config.outputRoot, config.eventName,
                                                        config.eventDate, sourceIdentity);
  const fs::path photos = runDirectory / "photos";
  fs::create_directories(photos);

  const double tm = monotonicSeconds();
  const std::size_t workerCount =
      std::min(files.size(), static_cast<std::size_t>(std::max(config.workers, 1)));
  WorkerFactory factory(config, static_cast<int>(workerCount));
  std::vector<std::unique_ptr<Worker>> workers;
  for (std::size_t i = 0; i < workerCount; ++i) workers.push_back(factory.make());
  factory.warmUp(*workers.front());
  const double modelStartupSeconds = monotonicSeconds() - tm;

  WorkState state;
  const double start = monotonicSeconds();
  {
    std::vector<std::jthread> threads;
    for (std::size_t w = 0; w < workerCount; ++w) {
      threads.emplace_back([&, w] {
        Worker& worker = *workers[w];
        while (!cancellation->isCancelled()) {
          const std::optional<std::size_t> index = state.claim(files.size());
          if (!index) return;
          FileResult result = process(static_cast<std::int64_t>(*index), files[*index], input,
                                      photos, config, worker);
          const BatchProgress snapshot =
              state.add(std::move(result), static_cast<std::int64_t>(files.size()), start);
          if (progress) progress(snapshot);
        }
      });
    }
  }  // the threads join here
  const double processingSeconds = monotonicSeconds() - start;

  RunSummary summary(config);
  summary.files = state.takeResults();
  std::stable_sort(summary.files.begin(), summary.files.end(),
                   [](const FileResult& a, const FileResult& b) { return a.index < b.index; });
  std::vector<double> milliseconds;
  for (const FileResult& r : summary.files) milliseconds.push_back(r.elapsedSeconds * 1000);
  std::sort(milliseconds.begin(), milliseconds.end());
  summary.p50FileMilliseconds = percentile(milliseconds, 0.5);
  summary.p95FileMilliseconds = percentile(milliseconds, 0.95);
  summary.counts = state.counts();
  for (const FileResult& r : summary.files) {
    summary.inputBytes += r.inputBytes;
    summary.outputBytes += r.outputBytes;
  }
  summary.discovered = static_cast<std::int64_t>(files.size());
  summary.processed = static_cast<std::int64_t>(summary.files.size());
  summary.cancelled = cancellation->isCancelled();
  summary.scanSeconds = scanSeconds;
  summary.modelStartupSeconds = modelStartupSeconds;
  summary.processingSeconds = processingSeconds;
  if (const auto first = state.first()) {
    summary.firstOutputSeconds = modelStartupSeconds + (scanSeconds + *first);
  }
  summary.createdAt = std::chrono::system_clock::now();
  summary.machine = machineDescription();
  summary.os = osDescription();
  summary.modelPath = factory.modelPath();
  summary.runDirectory = runDirectory;

  try {
    flushOutputFolders(summary);
    const double tr = monotonicSeconds();
    ReportWriter::writePreviewsAndHTML(summary);
    summary.reportSeconds = monotonicSeconds() - tr;
    ReportWriter::writeData(summary);
  } catch (const std::exception& error) {
    throw CropError(unreportedRunMessage(summary, error.what()));
  }
  return summary;
}

}  // namespace kestrel::BatchProcessor
