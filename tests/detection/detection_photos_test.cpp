// SPDX-License-Identifier: MIT
// Person and face detection on the shared race photographs with the shared
// models, judged against the hand-made scene descriptions (SCENES.tsv).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/batch/bytes.h"
#include "core/detection/face_detector.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/jpeg/image_preparation.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPersonModel = "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg";
constexpr const char* kFaceModel = "face-api";
constexpr std::int64_t kAnalysisLongEdge = 1024;
// The run's default confidence threshold; the sharpness analysis looks at
// nobody below it.
constexpr double kConfidence = 0.35;
// SCENES.tsv boxes are approximate (±0.03); this still tells runners apart.
constexpr double kMatchingOverlap = 0.5;

struct Scene {
  std::string file;          // under race-large/
  std::vector<Box> runners;  // the prominent runners
};

// The race photos of SCENES.tsv: its first `prominent_runners` boxes are the
// prominent ones ("#25 .03-.26,.16-.97; …", x0-x1,y0-y1).
std::vector<Scene> raceScenes(const fs::path& photos) {
  std::ifstream in(photos / "SCENES.tsv");
  std::string line;
  std::getline(in, line);
  std::vector<Scene> scenes;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4 || fields[0].rfind("race-small/", 0) != 0) continue;
    Scene scene{fields[0].substr(11), {}};
    const int prominent = std::stoi(fields[1]);
    std::stringstream items(fields[3]);
    for (std::string item;
         std::getline(items, item, ';') && static_cast<int>(scene.runners.size()) < prominent;) {
      // The box is the item's last word.
      const std::size_t end = item.find_last_not_of(' ');
      if (end == std::string::npos) continue;
      const std::size_t start = item.find_last_of(' ', end);
      const std::string word = item.substr(start == std::string::npos ? 0 : start + 1);
      double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
      if (std::sscanf(word.c_str(), "%lf-%lf,%lf-%lf", &x0, &x1, &y0, &y1) != 4) continue;
      scene.runners.push_back({x0, y0, x1 - x0, y1 - y0});
    }
    scenes.push_back(scene);
  }
  return scenes;
}

RGBImage analysisImage(const fs::path& photo) {
  const std::string data = testing::readFile(photo);
  return ImagePreparation::thumbnail(
      ImagePreparation::source(Bytes(std::vector<std::uint8_t>(data.begin(), data.end()))),
      kAnalysisLongEdge);
}

double overlap(const Box& a, const Box& b) {
  const double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
  const double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
  const double inter = std::max(0.0, w) * std::max(0.0, h);
  return inter / (a.area() + b.area() - inter);
}

const Person* bestMatch(const std::vector<Person>& people, const Box& runner) {
  const Person* best = nullptr;
  for (const Person& p : people) {
    if (p.confidence < kConfidence) continue;
    if (!best || overlap(p.box, runner) > overlap(best->box, runner)) best = &p;
  }
  return best && overlap(best->box, runner) >= kMatchingOverlap ? best : nullptr;
}

class DetectionPhotosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto photos = testing::testDataDir();
    const auto models = testing::testModelsDir();
    if (!photos) GTEST_SKIP() << "KESTREL_TEST_DATA is not set to the shared photos folder";
    if (!models) GTEST_SKIP() << "KESTREL_TEST_MODELS is not set to the shared models folder";
    photos_ = *photos;
    if (!personModel_) personModel_ = ModelLoader::load(*models / kPersonModel, ComputeChoice::cpu);
    if (!faceModel_) faceModel_ = FaceModelLoader::load(*models / kFaceModel);
  }

  fs::path photos_;
  static inline std::shared_ptr<const DetectionModel> personModel_;
  static inline std::shared_ptr<const FaceModel> faceModel_;
};

// Every prominent runner is found, and a face for most of them in the top
// 0.42 of the detected box (score ≥ 0.5, inside the box ± 0.03 — what the
// sharpness analysis accepts).
TEST_F(DetectionPhotosTest, FindsTheProminentRunnersAndMostOfTheirFaces) {
  PersonDetector detector(personModel_);
  FaceDetector faces(faceModel_);
  int runners = 0, found = 0, withFace = 0;
  for (const Scene& scene : raceScenes(photos_)) {
    SCOPED_TRACE(scene.file);
    const RGBImage image = analysisImage(photos_ / "race-large" / scene.file);
    ASSERT_EQ(std::max(image.width, image.height), kAnalysisLongEdge);
    const std::vector<Person> people = detector.detect(image);
    for (const Box& runner : scene.runners) {
      ++runners;
      const Person* person = bestMatch(people, runner);
      EXPECT_TRUE(person) << "runner at x " << runner.x << "–" << runner.maxX() << " not found";
      if (!person) continue;
      ++found;
      const Box& p = person->box;
      const Box band = Box{p.x, p.y, p.width, 0.42 * p.height}.clipped();
      for (const Face& face : faces.detect(image, band)) {
        if (face.confidence >= 0.5f && p.contains(face.box, 0.03)) {
          ++withFace;
          break;
        }
      }
    }
  }
  std::printf("[ detection ] prominent runners found %d/%d, with a face %d/%d\n", found, runners,
              withFace, found);
  EXPECT_EQ(runners, 41);  // as SCENES.tsv lists them
  EXPECT_GE(withFace * 5, found * 4) << "a face for fewer than 80 % of the runners";
}

// A portrait picture goes through the tall 288 × 416 input; its boxes must
// come back in the picture's own coordinates.
TEST_F(DetectionPhotosTest, PortraitImagesMapBackToTheirOwnCoordinates) {
  const RGBImage full = analysisImage(photos_ / "race-large/0057-IMG_0080.JPG");
  // The strip x 0.15…0.65 around runner #951 (x .26–.53, y .10–.98).
  const int left = static_cast<int>(0.15 * full.width);
  const int width = static_cast<int>(0.5 * full.width);
  RGBImage strip{width, full.height, {}};
  for (int y = 0; y < full.height; ++y) {
    const auto row = full.pixels.begin() + (static_cast<std::ptrdiff_t>(y) * full.width + left) * 3;
    strip.pixels.insert(strip.pixels.end(), row, row + width * 3);
  }
  ASSERT_LT(strip.width * 1.2, strip.height);
  const double scale = static_cast<double>(full.width) / width;
  const Box runner{(0.26 - 0.15) * scale, 0.10, (0.53 - 0.26) * scale, 0.88};
  EXPECT_TRUE(bestMatch(PersonDetector(personModel_).detect(strip), runner));
}

TEST_F(DetectionPhotosTest, WarmUpImageHoldsNobody) {
  const RGBImage black = detectionWarmupImage();
  EXPECT_TRUE(PersonDetector(personModel_).detect(black).empty());
  FaceDetector faces(faceModel_);
  EXPECT_NO_THROW(faces.warmup(black));
  EXPECT_TRUE(faces.detect(black, {0, 0, 1, 1}).empty());
}

// Detectors of two workers run at once over one shared model and give
// exactly what one detector gives alone.
TEST_F(DetectionPhotosTest, ParallelDetectorsAgreeWithASingleOne) {
  std::vector<RGBImage> images;
  for (const char* file : {"0009-IMG_0027.JPG", "0057-IMG_0080.JPG", "0063-IMG_0088.JPG"}) {
    images.push_back(analysisImage(photos_ / "race-large" / file));
  }
  std::vector<std::vector<Person>> serial;
  std::vector<std::vector<Face>> serialFaces;
  {
    PersonDetector detector(personModel_);
    FaceDetector faces(faceModel_);
    for (const RGBImage& image : images) {
      serial.push_back(detector.detect(image));
      serialFaces.push_back(faces.detect(image, {0, 0, 1, 0.5}));
    }
  }
  configureDetectionThreads(2);
  std::vector<std::vector<Person>> results[2];
  std::vector<std::vector<Face>> faceResults[2];
  {
    std::jthread workers[2];
    for (int w = 0; w < 2; ++w) {
      workers[w] = std::jthread([&, w] {
        PersonDetector detector(personModel_);
        FaceDetector faces(faceModel_);
        for (int round = 0; round < 3; ++round) {
          for (const RGBImage& image : images) {
            results[w].push_back(detector.detect(image));
            faceResults[w].push_back(faces.detect(image, {0, 0, 1, 0.5}));
          }
        }
      });
    }
  }
  configureDetectionThreads(1);
  for (int w = 0; w < 2; ++w) {
    ASSERT_EQ(results[w].size(), 3 * images.size());
    for (std::size_t i = 0; i < results[w].size(); ++i) {
      EXPECT_EQ(results[w][i], serial[i % images.size()]) << "worker " << w << " run " << i;
      EXPECT_EQ(faceResults[w][i], serialFaces[i % images.size()])
          << "worker " << w << " run " << i;
    }
  }
}

}  // namespace
}  // namespace kestrel
