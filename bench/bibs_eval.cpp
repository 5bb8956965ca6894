// SPDX-License-Identifier: MIT
// Measures the bib reader on a folder of race photos against hand-made
// lists of legible bibs: per photo and in total, the recall over the listed
// bibs, the precision of the reported numbers and the time the reader took.
//
//   bibs_eval [--verbose] [--dump DIR] [--upscale N] [--recall-only] FOLDER TRUTH
//
// TRUTH is SCENES.tsv (its "Bibs legible: …" lists, matched by file name)
// or a two-column file/bibs table such as bibs-dev/truth.tsv. People come
// from the person model of KESTREL_TEST_MODELS on the 1024 px analysis
// image, as in a batch run. --upscale enlarges each photo N times (and
// encodes it again) before reading, for small photos below the reader's
// size floor. --recall-only leaves precision out for lists that name only
// some of the bibs in view. --dump writes every recognised line and every
// wrong read with its surroundings as PNG. The verbose listing names
// the runners tall enough to be read and every line the recogniser saw.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/file_io.h"
#include "core/bibs/bib_reader.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/malloc_tuning.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

std::vector<std::string> numbersIn(const std::string& text) {
  std::vector<std::string> numbers;
  std::string current;
  for (const char c : text + " ") {
    if (c >= '0' && c <= '9') {
      current += c;
    } else {
      if (!current.empty()) numbers.push_back(current);
      current.clear();
    }
  }
  return numbers;
}

// File name → the legible bibs.
std::map<std::string, std::vector<std::string>> loadTruth(const fs::path& path) {
  std::map<std::string, std::vector<std::string>> truth;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 2 || fields[0] == "file") continue;
    const std::string name = fs::path(fields[0]).filename().string();
    if (fields.size() == 2) {
      truth[name] = numbersIn(fields[1]);
      continue;
    }
    const std::string& description = fields.back();
    std::size_t at = description.find("legible:");
    if (at == std::string::npos) continue;
    const std::size_t end = description.find('.', at);
    truth[name] = numbersIn(description.substr(at, end - at));
  }
  return truth;
}

Bytes upscaled(const Bytes& data, int factor) {
  std::vector<std::uint8_t> bytes(data.data(), data.data() + data.size());
  cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR);
  cv::Mat big;
  cv::resize(image, big, {}, factor, factor, cv::INTER_LANCZOS4);
  std::vector<std::uint8_t> out;
  cv::imencode(".jpg", big, out, {cv::IMWRITE_JPEG_QUALITY, 92});
  return Bytes(std::move(out));
}

}  // namespace

int main(int argc, char** argv) {
  tuneMallocForLargeBuffers();
  bool verbose = false, recallOnly = false;
  int upscale = 1;
  std::optional<fs::path> dump;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--verbose")
      verbose = true;
    else if (a == "--recall-only")
      recallOnly = true;
    else if (a == "--upscale" && i + 1 < argc)
      upscale = std::atoi(argv[++i]);
    else if (a == "--dump" && i + 1 < argc)
      dump = argv[++i];
    else
      args.push_back(a);
  }
  const char* models = std::getenv("KESTREL_TEST_MODELS");
  if (args.size() != 2 || models == nullptr) {
    std::fprintf(stderr,
                 "usage: KESTREL_TEST_MODELS=… bibs_eval [--verbose] [--dump DIR] "
                 "[--upscale N] [--recall-only] FOLDER TRUTH\n");
    return 2;
  }
  const auto truth = loadTruth(args[1]);
  const auto model = ModelLoader::load(
      fs::path(models) / "yolo-fastest-1.1-xl" / "yolo-fastest-1.1-xl.cfg", ComputeChoice::cpu);
  PersonDetector detector(model);
  BibReader reader;
  JPEGEngine engine;

  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(args[0])) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".jpg" || ext == ".JPG" || ext == ".jpeg") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());

  int listed = 0, found = 0, reported = 0, correct = 0;
  std::vector<double> times;
  std::printf("%-22s %6s %6s %6s %8s  %s\n", "photo", "listed", "found", "wrong", "ms", "reads");
  for (const fs::path& file : files) {
    const auto known = truth.find(file.filename().string());
    if (known == truth.end()) continue;
    Bytes data = readFile(file);
    if (upscale > 1) data = upscaled(data, upscale);
    const ImageSource source = ImagePreparation::source(data);
    const int orientation = ImagePreparation::orientation(source);
    const JPEGInfo info = engine.header(data);
    const ImagePreparation::AnalysisImage analysis =
        ImagePreparation::analysisThumbnail(source, 1024, true);
    const std::vector<Person> people = detector.detect(analysis.image);
    const auto t0 = std::chrono::steady_clock::now();
    const std::vector<Bib> bibs = reader.read(data.span(), info, orientation, people, engine,
                                              analysis.luma ? &*analysis.luma : nullptr);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    times.push_back(ms);

    const std::set<std::string> expected(known->second.begin(), known->second.end());
    std::string reads;
    int hits = 0, wrong = 0;
    for (const Bib& bib : bibs) {
      const bool ok = expected.count(bib.number) > 0;
      hits += ok;
      wrong += !ok;
      char confidence[16];
      std::snprintf(confidence, sizeof confidence, "%.2f", bib.confidence);
      reads += bib.number + (ok ? "" : "✗") + "(" + confidence + ") ";
    }
    listed += static_cast<int>(expected.size());
    found += hits;
    reported += static_cast<int>(bibs.size());
    correct += hits;
    std::printf("%-22s %6zu %6d %6s %8.1f  %s\n", file.filename().c_str(), expected.size(), hits,
                recallOnly ? "-" : std::to_string(wrong).c_str(), ms, reads.c_str());
    if (dump) {
      // Each wrong read with its surroundings, to see what was read.
      std::vector<std::uint8_t> all(data.data(), data.data() + data.size());
      const cv::Mat colour = cv::imdecode(all, cv::IMREAD_COLOR);
      fs::create_directories(*dump);
      for (const Bib& bib : bibs) {
        if (expected.count(bib.number)) continue;
        const Box b = bib.box.padded(bib.box.width, bib.box.height * 2).clipped();
        const cv::Rect r(static_cast<int>(b.x * colour.cols), static_cast<int>(b.y * colour.rows),
                         std::max(1, static_cast<int>(b.width * colour.cols)),
                         std::max(1, static_cast<int>(b.height * colour.rows)));
        cv::imwrite(
            (*dump / ("wrong-" + file.stem().string() + "-" + bib.number + ".png")).string(),
            colour(r & cv::Rect(0, 0, colour.cols, colour.rows)));
      }
    }
    if (dump) {
      // Every line that reached the recogniser, named by photo, runner and
      // what the first view read.
      std::vector<std::uint8_t> all(data.data(), data.data() + data.size());
      const cv::Mat colour = cv::imdecode(all, cv::IMREAD_COLOR);
      fs::create_directories(*dump);
      int k = 0;
      for (const auto& c : reader.candidates()) {
        const Box b = c.box.padded(c.box.width, c.box.height * 2).clipped();
        const cv::Rect r(static_cast<int>(b.x * colour.cols), static_cast<int>(b.y * colour.rows),
                         std::max(1, static_cast<int>(b.width * colour.cols)),
                         std::max(1, static_cast<int>(b.height * colour.rows)));
        cv::imwrite((*dump / (file.stem().string().substr(0, 4) + "-p" + std::to_string(c.person) +
                              "-" + std::to_string(k++) + "-" + c.text + ".png"))
                        .string(),
                    colour(r & cv::Rect(0, 0, colour.cols, colour.rows)));
      }
    }
    if (dump && getenv("TORSOS")) {
      // The torso regions the reader searched, as grayscale PNGs for a look.
      std::vector<std::uint8_t> bytes(data.data(), data.data() + data.size());
      const cv::Mat gray = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
      fs::create_directories(*dump);
      for (std::size_t i = 0; i < people.size(); ++i) {
        const Box& b = people[i].box;
        if (b.height * gray.rows < BibReader::kMinimumPersonHeight) continue;
        const cv::Rect r(static_cast<int>((b.x + 0.1 * b.width) * gray.cols),
                         static_cast<int>((b.y + 0.18 * b.height) * gray.rows),
                         static_cast<int>(0.8 * b.width * gray.cols),
                         static_cast<int>(0.44 * b.height * gray.rows));
        cv::Mat torso = gray(r & cv::Rect(0, 0, gray.cols, gray.rows));
        cv::Mat small;
        cv::resize(torso, small, {}, 0.5, 0.5, cv::INTER_AREA);
        cv::imwrite((*dump / (file.stem().string() + "-p" + std::to_string(i) + ".png")).string(),
                    small);
      }
    }
    if (verbose) {
      std::string missing;
      for (const std::string& n : expected) {
        if (std::none_of(bibs.begin(), bibs.end(), [&](const Bib& b) { return b.number == n; }))
          missing += n + " ";
      }
      std::printf("    people %zu, missing: %s\n", people.size(), missing.c_str());
      for (std::size_t i = 0; i < people.size(); ++i) {
        const double h =
            people[i].box.height *
            static_cast<double>(EXIFOrientation::swapsAxes(orientation) ? info.width : info.height);
        if (h < BibReader::kMinimumPersonHeight) continue;
        std::printf("      p%zu conf %.2f height %.0f box %.2f,%.2f %.2fx%.2f\n", i,
                    people[i].confidence, h, people[i].box.x, people[i].box.y, people[i].box.width,
                    people[i].box.height);
      }
      for (const auto& c : reader.candidates()) {
        std::printf("    person %lld marks %d conf %.3f %s %s \"%s\" box %.3f,%.3f %.3fx%.3f\n",
                    static_cast<long long>(c.person), c.marks, c.confidence,
                    c.accepted ? "ACCEPT" : "reject", expected.count(c.text) ? "listed" : "-",
                    c.text.c_str(), c.box.x, c.box.y, c.box.width, c.box.height);
      }
    }
  }
  std::sort(times.begin(), times.end());
  const double median = times.empty() ? 0 : times[times.size() / 2];
  std::printf("total: recall %.3f (%d/%d)", listed ? static_cast<double>(found) / listed : 0, found,
              listed);
  if (!recallOnly) {
    std::printf(", precision %.3f (%d/%d)",
                reported ? static_cast<double>(correct) / reported : 1.0, correct, reported);
  }
  double total = 0;
  for (const double t : times) total += t;
  std::printf(", reader median %.1f ms/photo, mean %.1f, %.1f recognitions/photo\n", median,
              times.empty() ? 0 : total / static_cast<double>(times.size()),
              times.empty()
                  ? 0
                  : static_cast<double>(reader.recognitions()) / static_cast<double>(times.size()));
  return 0;
}
