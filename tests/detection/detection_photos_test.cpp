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

class DetectionPhotosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto photos = testing::testDataDir();
    const auto models = testing::testModelsDir();
    if (!photos || !models) GTEST_SKIP() << "KESTREL_TEST_DATA or KESTREL_TEST_MODELS is not set";
    photos_ = *photos;
    if (!person_)
      person_ = ModelLoader::load(*models / "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg",
                                  ComputeChoice::cpu);
    if (!face_) face_ = FaceModelLoader::load(*models / "face-api");
  }
  RGBImage image(const std::string& file) { return analysisImage(photos_ / "race-large" / file); }

  fs::path photos_;
  static inline std::shared_ptr<const DetectionModel> person_;
  static inline std::shared_ptr<const FaceModel> face_;
};

// Every prominent runner of SCENES.tsv (its first `prominent_runners` boxes,
// each the last word of an item: "#25 .03-.26,.16-.97; …") is found at the
// run's default confidence 0.35 overlapping it by ≥ 0.5 (the boxes are ±0.03),
// and a face for most of them in the top 0.42 of the detected box (score
// ≥ 0.5, inside the box ± 0.03 — what the sharpness analysis accepts).
TEST_F(DetectionPhotosTest, FindsTheProminentRunnersAndMostOfTheirFaces) {
  PersonDetector detector(person_);
  FaceDetector faces(face_);
  int runners = 0, found = 0, withFace = 0;
  std::ifstream scenes(photos_ / "SCENES.tsv");
  for (std::string line; std::getline(scenes, line);) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4 || fields[0].rfind("race-small/", 0) != 0) continue;
    SCOPED_TRACE(fields[0]);
    const RGBImage picture = image(fields[0].substr(11));
    const std::vector<Person> people = detector.detect(picture);
    std::stringstream items(fields[3]);
    int listed = 0;
    for (std::string item; listed < std::stoi(fields[1]) && std::getline(items, item, ';');) {
      double x1 = 0, y1 = 0;
      Box runner;
      if (std::sscanf(item.substr(item.find_last_of(' ') + 1).c_str(), "%lf-%lf,%lf-%lf", &runner.x,
                      &x1, &runner.y, &y1) != 4)
        continue;
      runner.width = x1 - runner.x;
      runner.height = y1 - runner.y;
      ++listed;
      ++runners;
      const Person* best = nullptr;
      for (const Person& p : people) {
        if (p.confidence >= 0.35 && (!best || overlap(p.box, runner) > overlap(best->box, runner)))
          best = &p;
      }
      EXPECT_TRUE(best && overlap(best->box, runner) >= 0.5) << "runner at x " << runner.x;
      if (!best || overlap(best->box, runner) < 0.5) continue;
      ++found;
      const Box& p = best->box;
      const auto inBand = faces.detect(picture, Box{p.x, p.y, p.width, 0.42 * p.height}.clipped());
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
  const RGBImage picture = image("0057-IMG_0080.JPG");
  FaceDetector faces(face_);
  const Box band{0.26, 0.10, 0.27, 0.42 * 0.88};  // runner #951
  const auto found = faces.detect(picture, band);
  ASSERT_FALSE(found.empty());
  const Box face = found.front().box;
  // The same search ending a fifth of the face above its chin.
  const Box cut{band.x, band.y, band.width, face.maxY() - 0.2 * face.height - band.y};
  const auto again = faces.detect(picture, cut);
  ASSERT_FALSE(again.empty());
  EXPECT_GT(again.front().box.maxY(), cut.maxY());
}

// Detectors of two workers run at once over one shared model and give
// exactly what one detector gives alone.
TEST_F(DetectionPhotosTest, ParallelDetectorsAgreeWithASingleOne) {
  const RGBImage pictures[] = {image("0009-IMG_0027.JPG"), image("0057-IMG_0080.JPG"),
                               image("0063-IMG_0088.JPG")};
  using Result = std::pair<std::vector<Person>, std::vector<Detection>>;
  const auto runAll = [&] {
    PersonDetector detector(person_);
    FaceDetector faces(face_);
    std::vector<Result> results;
    for (int round = 0; round < 3; ++round) {
      for (const RGBImage& picture : pictures)
        results.emplace_back(detector.detect(picture), faces.detect(picture, {0, 0, 1, 0.5}));
    }
    return results;
  };
  const std::vector<Result> serial = runAll();
  configureDetectionThreads(2);
  std::vector<Result> results[2];
  {
    std::jthread workers[2];
    for (int w = 0; w < 2; ++w) workers[w] = std::jthread([&, w] { results[w] = runAll(); });
  }
  configureDetectionThreads(1);
  EXPECT_EQ(results[0], serial);
  EXPECT_EQ(results[1], serial);
}

}  // namespace
}  // namespace kestrel
