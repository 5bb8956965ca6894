// SPDX-License-Identifier: MIT
// kestrel-batch: runs one Kestrel batch from a terminal.
//
// The first Ctrl-C asks the run to stop after the files in hand (reports are
// still written); a second one aborts at once. Exit status: 0 when the run
// completed (also after a stop request), 1 when it failed, 2 for usage errors.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/crop_error.h"
#include "core/base/text.h"
#include "core/batch/batch_processor.h"
#include "core/cards/camera_cards.h"
#include "core/jpeg/malloc_tuning.h"
#include "core/run/json_format.h"
#include "core/run/output_root.h"
#include "core/run/parameters.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

// Prints progress snapshots to stderr: a redrawn bar on a terminal, one line
// per file otherwise. Snapshots come from several workers and may arrive out
// of order; older ones are dropped.
class ProgressPrinter {
 public:
  ProgressPrinter() : terminal_(::isatty(STDERR_FILENO) == 1) {}

  void operator()(const BatchProgress& p) {
    std::lock_guard guard(lock_);
    if (p.completed <= shown_) return;
    shown_ = p.completed;
    const StatusCounts& n = p.counts;
    const std::string counts = "裁剪 " + std::to_string(n.cropped) + " · 过滤 " +
                               std::to_string(n.filtered) + " · 待复核 " +
                               std::to_string(n.review) + " · 失败 " + std::to_string(n.failed);
    if (terminal_) {
      constexpr int kWidth = 30;
      const auto filled =
          static_cast<int>(kWidth * p.completed / std::max<std::int64_t>(p.total, 1));
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.append(static_cast<std::size_t>(kWidth - filled), '.');
      std::fprintf(stderr, "\r\033[K[%s] %lld/%lld  %s", bar.c_str(),
                   static_cast<long long>(p.completed), static_cast<long long>(p.total),
                   counts.c_str());
      if (p.completed == p.total) std::fputc('\n', stderr);
    } else {
      std::fprintf(stderr, "[%lld/%lld] %s  (%s)\n", static_cast<long long>(p.completed),
                   static_cast<long long>(p.total), p.lastFile.c_str(), counts.c_str());
    }
    std::fflush(stderr);
  }

  void finishLine() {
    std::lock_guard guard(lock_);
    if (terminal_ && shown_ > 0) std::fputc('\n', stderr);
  }

 private:
  std::mutex lock_;
  std::int64_t shown_ = 0;
  bool terminal_;
};

// Turns SIGINT/SIGTERM into a stop request (first) or an immediate exit (second).
class SignalWatcher {
 public:
  explicit SignalWatcher(std::shared_ptr<CancellationToken> token) : token_(std::move(token)) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGUSR1);  // sent by the destructor to end the wait at once
    // Blocked here, before any worker starts, so only this thread receives them.
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::jthread([this](std::stop_token stop) { watch(stop); });
  }
  ~SignalWatcher() {
    thread_.request_stop();
    pthread_kill(thread_.native_handle(), SIGUSR1);
  }

 private:
  void watch(const std::stop_token& stop) {
    int requests = 0;
    const timespec poll{0, 200'000'000};
    while (!stop.stop_requested()) {
      const int signal = sigtimedwait(&signals_, nullptr, &poll);
      if (signal < 0 || signal == SIGUSR1) continue;
      if (++requests == 1) {
        token_->cancel();
        std::fputs("\n正在停止：处理中的照片完成后保存报告（再按一次 Ctrl-C 立即退出）。\n",
                   stderr);
      } else {
        std::fputs("\n已中止。\n", stderr);
        std::_Exit(130);
      }
    }
  }

  std::shared_ptr<CancellationToken> token_;
  sigset_t signals_{};
  std::jthread thread_;
};

// The raw values of an enumeration's cases, for CLI11's membership check.
template <typename Enum, std::size_t N>
std::vector<std::string> rawValues(const std::array<Enum, N>& cases) {
  std::vector<std::string> values;
  for (const Enum value : cases) values.emplace_back(rawValue(value));
  return values;
}

// An option of the parameter table bound to its configuration field; the
// help line ends with the range the run accepts.
template <typename T, typename Field>
void addParameter(CLI::App& app, const Parameter<T>& parameter, Field& field) {
  const auto text = [](T value) {
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
  };
  std::string help(parameter.help);
  help += parameter.bounded() ? " [" + text(parameter.minimum) + "–" + text(parameter.maximum) + "]"
                              : " [≥ " + text(parameter.minimum) + "]";
  CLI::Option* option = app.add_option(std::string(parameter.flag), field, help);
  if (parameter.defaultValue) option->capture_default_str();
}

// An on/off option of the parameter table: the flag sets the field to the
// opposite of its default.
void addSwitch(CLI::App& app, const Switch& option, bool& field) {
  field = option.defaultValue;
  app.add_flag_callback(
      std::string(option.flag), [&field, &option] { field = !option.defaultValue; },
      std::string(option.help));
}

}  // namespace

int main(int argc, char** argv) {
  tuneMallocForLargeBuffers();
  CLI::App app{
      "隼影 kestrel-batch：在终端中处理一个文件夹的 JPEG 照片。\n"
      "Finds the runners in every JPEG of a folder, crops losslessly where the composition\n"
      "improves, screens the main runner for blur and files each photo into photos/, filtered/\n"
      "or review/ of a new batch directory under the output root, with summary.json,\n"
      "statistics.json, files.csv, bibs.csv and report.html. In auto mode the race numbers on\n"
      "the runners' bibs are read (see --no-bibs). Originals are only read."};
  app.get_formatter()->column_width(34);
  app.footer(
      "Models: without --model, YOLOv3TinyFP16.mlmodelc (or .mlmodel) is searched in\n"
      "share/kestrel of the prefix the executable is installed in (<bin>/../share/kestrel),\n"
      "then of the configured install prefix, then in Models/ under the working directory and\n"
      "three levels above the executable; the face detector likewise in a folder face-api.\n"
      "scripts/setup.sh puts them into Models/, scripts/install_models.sh into a prefix.\n"
      "Progress goes to stderr (a bar on a terminal, one line per file otherwise). The first\n"
      "Ctrl-C stops after the photos in hand and still writes the reports; a second one aborts.\n"
      "Exit status: 0 the run completed (also after a stop), 1 it failed, 2 usage error.\n"
      "At the end the batch directory and its report.html are printed on stdout.");

  std::string input;
  std::string output = defaultOutputRoot().string();
  std::string mode(rawValue(ProcessingMode::automatic));
  std::string compute(rawValue(ComputeChoice::all));
  std::optional<std::string> model;
  std::optional<std::string> faceModel;
  BatchConfiguration config("", "");

  bool listCards = false;
  CLI::Option* inputOption = app.add_option(
      "--input,-i", input, "Folder of JPEG photos to process (searched recursively; only read)");
  app.add_flag("--list-cards", listCards,
               "Print the camera cards mounted now as a JSON array and exit")
      ->excludes(inputOption);
  app.add_option("--output,-o", output, "Output root; each run creates a new batch directory in it")
      ->capture_default_str();
  app.add_option("--mode", mode,
                 "auto: detection, sharpness screening and composition crops;\n"
                 "copy: copy every photo unchanged (baseline);\n"
                 "fixed: centred crop at the largest allowed trim (engine benchmark)")
      ->check(CLI::IsMember(rawValues(allProcessingModes)))
      ->capture_default_str();
  app.add_option(
      "--model", model,
      "Person detection model (prepared .mlmodelc folder, .mlmodel package or darknet .cfg)");
  app.add_option("--face-model", faceModel,
                 "Folder with the face detector (tiny_face_detector_model.bin and its manifest)");
  app.add_option("--compute", compute, "Compute units for the model")
      ->check(CLI::IsMember(rawValues(allComputeChoices)))
      ->capture_default_str();
  addParameter(app, parameters::workers, config.workers);
  addParameter(app, parameters::limit, config.limit);
  addParameter(app, parameters::previewCount, config.previewCount);
  addParameter(app, parameters::maximumTrim, config.maximumTrim);
  addParameter(app, parameters::minimumLongEdge, config.minimumLongEdge);
  addParameter(app, parameters::minimumPixelCount, config.minimumPixelCount);
  addParameter(app, parameters::confidence, config.confidence);
  addParameter(app, parameters::analysisLongEdge, config.analysisLongEdge);
  addSwitch(app, parameters::readBibs, config.readBibs);
  addSwitch(app, parameters::writeBibKeywords, config.writeBibKeywords);
  app.add_option("--event", config.eventName,
                 "Event or category name: batch directories become <event>-<date>-卡<n>");
  app.add_option("--date", config.eventDate, "Event date yyyyMMdd (required with --event)");

  try {
    app.parse(argc, argv);
    if (!listCards && input.empty()) throw CLI::RequiredError("--input");
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : 2;
  }
  if (listCards) {
    nlohmann::json cards = nlohmann::json::array();
    for (const CameraCard& card : CameraCards::scan()) {
      cards.push_back({{"id", card.id},
                       {"name", card.name},
                       {"volume", card.volume.string()},
                       {"photoFolder", card.photoFolder.string()}});
    }
    std::fputs(dumpJSON(cards).c_str(), stdout);
    return 0;
  }

  config.input = input;
  config.outputRoot = output;
  config.mode = *processingModeFromRaw(mode);
  config.compute = *computeChoiceFromRaw(compute);
  if (model) config.model = fs::path(*model);
  if (faceModel) config.faceModel = fs::path(*faceModel);

  const auto token = makeCancellationToken();
  SignalWatcher signals(token);
  ProgressPrinter printer;
  try {
    const RunSummary summary =
        BatchProcessor::run(config, token, [&](const BatchProgress& p) { printer(p); });
    printer.finishLine();
    std::printf(
        "%s %lld 张：裁剪 %lld · 保留 %lld · 过滤 %lld · 待复核 %lld · 失败 %lld；%s 张/秒\n",
        summary.cancelled ? "已停止，已处理" : "已处理", static_cast<long long>(summary.processed),
        static_cast<long long>(summary.counts.cropped),
        static_cast<long long>(summary.counts.unchanged),
        static_cast<long long>(summary.counts.filtered),
        static_cast<long long>(summary.counts.review),
        static_cast<long long>(summary.counts.failed),
        decimalText(summary.imagesPerSecond(), 2).c_str());
    std::printf("批次目录：%s\n报告：%s\n", summary.runDirectory.c_str(),
                (summary.runDirectory / "report.html").c_str());
    return 0;
  } catch (const std::exception& error) {
    printer.finishLine();
    std::fprintf(stderr, "kestrel-batch: %s\n", error.what());
    return 1;
  }
}
