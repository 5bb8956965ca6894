// SPDX-License-Identifier: MIT
// Person and face detection on the shared race photographs with the shared
// models, judged against the hand-made scene descriptions (SCENES.tsv).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/base/bytes.h"
#include "core/detection/face_detector.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/jpeg/image_preparation.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

struct Scene {
  std::string file;          // under race-large/
  std::vector<Box> runners;  // the prominent runners
};

// The race photos of SCENES.tsv: its first `prominent_runners` boxes, each
// the last word of an item ("#25 .03-.26,.16-.97; …", x0-x1,y0-y1).
std::vector<Scene> raceScenes(const fs::path& photos) {
  std::ifstream in(photos / "SCENES.tsv");
  std::vector<Scene> scenes;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4 || fields[0].rfind("race-small/", 0) != 0) continue;
    Scene& scene = scenes.emplace_back(Scene{fields[0].substr(11), {}});
    std::stringstream items(fields[3]);
    for (std::string item;
         std::getline(items, item, ';') && scene.runners.size() < std::stoul(fields[1]);) {
      double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
      const std::string word = item.substr(item.find_last_of(' ') + 1);
      if (std::sscanf(word.c_str(), "%lf-%lf,%lf-%lf", &x0, &x1, &y0, &y1) == 4) {
        scene.runners.push_back({x0, y0, x1 - x0, y1 - y0});
      }
    }
  }
  return scenes;
}

RGBImage analysisImage(const fs::path& photo) {
  const std::string data = testing::readFile(photo);
  return ImagePreparation::thumbnail(
      ImagePreparation::source(Bytes(std::vector<std::uint8_t>(data.begin(), data.end()))), 1024);
}

double overlap(const Box& a, const Box& b) {
  const double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
  const double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
  const double inter = std::max(0.0, w) * std::max(0.0, h);
  return inter / (a.area() + b.area() - inter);
}

// The person overlapping the runner most, if by at least 0.5 (SCENES.tsv
// boxes are approximate, ±0.03, and this still tells runners apart), among
// those at the run's default confidence threshold 0.35 or above: the
// sharpness analysis looks at nobody below it.
const Person* bestMatch(const std::vector<Person>& people, const Box& runner) {
  const Person* best = nullptr;
  for (const Person& p : people) {
    if (p.confidence >= 0.35 && (!best || overlap(p.box, runner) > overlap(best->box, runner)))
      best = &p;
  }
  return best && overlap(best->box, runner) >= 0.5 ? best : nullptr;
}

class DetectionPhotosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto photos = testing::testDataDir();
    const auto models = testing::testModelsDir();
    if (!photos || !models) GTEST_SKIP() << "KESTREL_TEST_DATA or KESTREL_TEST_MODELS is not set";
    photos_ = *photos / "race-large";
    scenes_ = raceScenes(*photos);
    if (!person_)
      person_ = ModelLoader::load(*models / "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg",
                                  ComputeChoice::cpu);
    if (!face_) face_ = FaceModelLoader::load(*models / "face-api");
  }

  fs::path photos_;
  std::vector<Scene> scenes_;
  static inline std::shared_ptr<const DetectionModel> person_;
  static inline std::shared_ptr<const FaceModel> face_;
};

// Every prominent runner is found, and a face for most of them in the top
// 0.42 of the detected box (score ≥ 0.5, inside the box ± 0.03 — what the
// sharpness analysis accepts).
TEST_F(DetectionPhotosTest, FindsTheProminentRunnersAndMostOfTheirFaces) {
  PersonDetector detector(person_);
  FaceDetector faces(face_);
  int runners = 0, found = 0, withFace = 0;
  for (const Scene& scene : scenes_) {
    SCOPED_TRACE(scene.file);
    const RGBImage image = analysisImage(photos_ / scene.file);
    ASSERT_EQ(std::max(image.width, image.height), 1024);
    const std::vector<Person> people = detector.detect(image);
    for (const Box& runner : scene.runners) {
      ++runners;
      const Person* person = bestMatch(people, runner);
      EXPECT_TRUE(person) << "runner at x " << runner.x << "–" << runner.maxX() << " not found";
      if (!person) continue;
      ++found;
      const Box& p = person->box;
      const auto inBand = faces.detect(image, Box{p.x, p.y, p.width, 0.42 * p.height}.clipped());
      withFace += std::any_of(inBand.begin(), inBand.end(), [&](const Detection& f) {
        return f.confidence >= 0.5f && p.contains(f.box, 0.03);
      });
    }
  }
  std::printf("[ detection ] prominent runners found %d/%d, with a face %d/%d\n", found, runners,
              withFace, found);
  EXPECT_EQ(runners, 41);  // as SCENES.tsv lists them
  EXPECT_GE(withFace * 5, found * 4) << "a face for fewer than 80 % of the runners";
}

// A face is reported with its own box, also where it reaches past the band
// searched: whether it belongs to the runner is the analyzer's call (face
// inside the person box ± 0.03), which a box cut to the band would always pass.
TEST_F(DetectionPhotosTest, FacesKeepTheirOwnBoxes) {
  const RGBImage image = analysisImage(photos_ / "0057-IMG_0080.JPG");
  FaceDetector faces(face_);
  const Box band{0.26, 0.10, 0.27, 0.42 * 0.88};  // runner #951
  const auto found = faces.detect(image, band);
  ASSERT_FALSE(found.empty());
  const Box face = found.front().box;
  // The same search ending a fifth of the face above its chin.
  const Box cut{band.x, band.y, band.width, face.maxY() - 0.2 * face.height - band.y};
  const auto again = faces.detect(image, cut);
  ASSERT_FALSE(again.empty());
  EXPECT_GT(again.front().box.maxY(), cut.maxY());
}

// A portrait picture goes through the tall 288 × 416 input; its boxes must
// come back in the picture's own coordinates. The black warm-up image holds
// nobody.
TEST_F(DetectionPhotosTest, PortraitStripAndWarmUpImage) {
  const RGBImage full = analysisImage(photos_ / "0057-IMG_0080.JPG");
  // The strip x 0.15…0.65 around runner #951 (x .26–.53, y .10–.98).
  const int left = static_cast<int>(0.15 * full.width), width = static_cast<int>(0.5 * full.width);
  RGBImage strip{width, full.height, {}};
  for (int y = 0; y < full.height; ++y) {
    const auto row = full.pixels.begin() + (static_cast<std::ptrdiff_t>(y) * full.width + left) * 3;
    strip.pixels.insert(strip.pixels.end(), row, row + width * 3);
  }
  ASSERT_LT(strip.width * 1.2, strip.height);
  const double scale = static_cast<double>(full.width) / width;
  EXPECT_TRUE(
      bestMatch(PersonDetector(person_).detect(strip), {0.11 * scale, 0.10, 0.27 * scale, 0.88}));

  const RGBImage black = detectionWarmupImage();
  EXPECT_TRUE(PersonDetector(person_).detect(black).empty());
  FaceDetector faces(face_);
  EXPECT_NO_THROW(faces.warmup(black));
  EXPECT_TRUE(faces.detect(black, {0, 0, 1, 1}).empty());
}

// Detectors of two workers run at once over one shared model and give
// exactly what one detector gives alone.
TEST_F(DetectionPhotosTest, ParallelDetectorsAgreeWithASingleOne) {
  std::vector<RGBImage> images;
  for (const char* file : {"0009-IMG_0027.JPG", "0057-IMG_0080.JPG", "0063-IMG_0088.JPG"}) {
    images.push_back(analysisImage(photos_ / file));
  }
  using Result = std::pair<std::vector<Person>, std::vector<Detection>>;
  const auto runAll = [&](int rounds) {
    PersonDetector detector(person_);
    FaceDetector faces(face_);
    std::vector<Result> results;
    for (int round = 0; round < rounds; ++round) {
      for (const RGBImage& image : images)
        results.emplace_back(detector.detect(image), faces.detect(image, {0, 0, 1, 0.5}));
    }
    return results;
  };
  const std::vector<Result> serial = runAll(3);
  configureDetectionThreads(2);
  std::vector<Result> results[2];
  {
    std::jthread workers[2];
    for (int w = 0; w < 2; ++w) workers[w] = std::jthread([&, w] { results[w] = runAll(3); });
  }
  configureDetectionThreads(1);
  EXPECT_EQ(results[0], serial);
  EXPECT_EQ(results[1], serial);
}

}  // namespace
}  // namespace kestrel
