// SPDX-License-Identifier: MIT
// Person models side by side on the race photos' analysis images (long
// edge 1024): inference time per photo with one worker and with two
// (each with its own network, as in a batch run), and, for models with real
// weights, how many of the prominent runners of SCENES.tsv they find at the
// run's confidence threshold (a detection overlapping the runner's box by
// IoU ≥ 0.5).
//
//   KESTREL_TEST_DATA=… model_compare NAME=CFG[:WEIGHTS] …
//
// Without WEIGHTS the network gets a weights file of the right size filled
// with random values: its timing is real, its detections are not counted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/base/file_io.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/malloc_tuning.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

struct Scene {
  RGBImage image;
  std::vector<Box> runners;  // the prominent runners
};

// SCENES.tsv: its first `prominent_runners` boxes per race photo, each the
// last word of an item ("#25 .03-.26,.16-.97; …", x0-x1,y0-y1).
std::vector<Scene> loadScenes(const fs::path& photos) {
  std::ifstream in(photos / "SCENES.tsv");
  std::vector<Scene> scenes;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4 || !fields[0].starts_with("race-small/")) continue;
    Scene scene;
    scene.image = ImagePreparation::thumbnail(
        ImagePreparation::source(readFile(photos / "race-large" / fields[0].substr(11))), 1024);
    std::stringstream items(fields[3]);
    for (std::string item;
         std::getline(items, item, ';') && scene.runners.size() < std::stoul(fields[1]);) {
      double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
      const std::string word = item.substr(item.find_last_of(' ') + 1);
      if (std::sscanf(word.c_str(), "%lf-%lf,%lf-%lf", &x0, &x1, &y0, &y1) == 4) {
        scene.runners.push_back({x0, y0, x1 - x0, y1 - y0});
      }
    }
    scenes.push_back(std::move(scene));
  }
  return scenes;
}

double iou(const Box& a, const Box& b) {
  const double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
  const double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
  const double inter = std::max(0.0, w) * std::max(0.0, h);
  return inter / (a.area() + b.area() - inter);
}

// A darknet weights file for `cfg` (version 0.2, 64-bit counter) with small
// random values: right in size, meaningless in content.
fs::path randomWeights(const fs::path& cfg) {
  const std::string text(readFile(cfg).view());
  const std::uint64_t floats = darknet::summarize(text).parameterCount;
  std::string weights(20, '\0');
  weights[4] = 2;
  std::mt19937 random(1);
  std::uniform_real_distribution<float> value(-0.05f, 0.05f);
  for (std::uint64_t i = 0; i < floats; ++i) {
    const float v = value(random);
    weights.append(reinterpret_cast<const char*>(&v), 4);
  }
  const fs::path folder = fs::temp_directory_path() / ("kestrel-model-" + randomUUIDText());
  fs::create_directories(folder);
  fs::copy_file(cfg, folder / "model.cfg");
  createFile(folder / "model.weights", weights);
  return folder / "model.cfg";
}

// Milliseconds per photo with `workers` threads, each with its own detector,
// over `rounds` passes of all photos.
double millisecondsPerPhoto(const std::shared_ptr<const DetectionModel>& model,
                            const std::vector<Scene>& scenes, int workers, int rounds) {
  configureDetectionThreads(workers);
  const std::size_t total = scenes.size() * static_cast<std::size_t>(rounds);
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (int w = 0; w < workers; ++w) {
      threads.emplace_back([&, w] {
        PersonDetector detector(model);
        for (std::size_t i = static_cast<std::size_t>(w); i < total;
             i += static_cast<std::size_t>(workers)) {
          detector.detect(scenes[i % scenes.size()].image);
        }
      });
    }
  }
  const std::chrono::duration<double, std::milli> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(total);
}

}  // namespace

int main(int argc, char** argv) {
  tuneMallocForLargeBuffers();
  const char* data = std::getenv("KESTREL_TEST_DATA");
  if (!data || argc < 2) {
    std::fprintf(stderr, "usage: KESTREL_TEST_DATA=… model_compare NAME=CFG[:WEIGHTS] …\n");
    return 2;
  }
  const std::vector<Scene> scenes = loadScenes(data);
  std::size_t runners = 0;
  for (const Scene& s : scenes) runners += s.runners.size();
  std::printf(
      "| model | weights | ms/photo, 1 worker | ms/photo, 2 workers | 2-worker speed-up | "
      "prominent runners found |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (int i = 1; i < argc; ++i) {
    const std::string spec = argv[i];
    const std::string name = spec.substr(0, spec.find('='));
    std::string cfg = spec.substr(spec.find('=') + 1);
    std::string weights;
    if (const auto colon = cfg.find(':'); colon != std::string::npos) {
      weights = cfg.substr(colon + 1);
      cfg = cfg.substr(0, colon);
    }
    fs::path modelPath = cfg;
    if (weights.empty()) {
      modelPath = randomWeights(cfg);
    } else if (fs::path(weights).replace_extension() != fs::path(cfg).replace_extension()) {
      std::fprintf(stderr, "%s: the weights must lie beside the cfg with the same stem\n",
                   name.c_str());
      return 2;
    }
    const auto model = ModelLoader::load(modelPath, ComputeChoice::cpu);
    millisecondsPerPhoto(model, scenes, 1, 1);  // warm-up
    const double one = millisecondsPerPhoto(model, scenes, 1, 3);
    const double two = millisecondsPerPhoto(model, scenes, 2, 3);
    std::string found = "— (random weights: timing only)";
    if (!weights.empty()) {
      PersonDetector detector(model);
      std::size_t hits = 0;
      for (const Scene& s : scenes) {
        const std::vector<Person> people = detector.detect(s.image);
        for (const Box& runner : s.runners) {
          hits += std::any_of(people.begin(), people.end(), [&](const Person& p) {
            return p.confidence >= 0.35 && iou(p.box, runner) >= 0.5;
          });
        }
      }
      found = std::to_string(hits) + "/" + std::to_string(runners);
    }
    std::printf("| %s | %s | %.1f | %.1f | %.2f× |  %s |\n", name.c_str(),
                weights.empty() ? "random, right size" : "published", one, two, one / two,
                found.c_str());
    if (weights.empty()) fs::remove_all(modelPath.parent_path());
  }
  return 0;
}
