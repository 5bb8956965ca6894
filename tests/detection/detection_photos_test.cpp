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

using Seen = std::pair<Person, std::vector<Detection>>;  // and the faces in its top 0.42

// Every prominent runner of SCENES.tsv (its first boxes, ±0.03) is found, overlapping by
// ≥ 0.5, most with a face (score ≥ 0.5, inside the box ± 0.03). Two workers' detectors
// run at once see exactly what one sees alone.
TEST(DetectionPhotosTest, FindsTheProminentRunnersAndTheirFaces) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  const auto personModel =
      ModelLoader::load(models / "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg", ComputeChoice::cpu);
  const auto faceModel = FaceModelLoader::load(models / "face-api");
  std::vector<std::pair<RGBImage, std::vector<Box>>> scenes;
  std::ifstream table(photos / "SCENES.tsv");
  for (std::string line; std::getline(table, line);) {
    char file[256], boxes[1024];  // boxes: "#25 .03-.26,.16-.97; …", x0-x1,y0-y1
    std::size_t n = 0;            // the prominent runners, listed first
    if (std::sscanf(line.c_str(), "race-small/%255s%zu %*[^\t] %1023[^\t]", file, &n, boxes) < 3)
      continue;
    auto& [picture, runners] =
        scenes.emplace_back(analysisImage(photos / "race-large" / file), std::vector<Box>{});
    std::istringstream items(boxes);
    for (std::string s; runners.size() < n && std::getline(items, s, ';');) {
      double x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // the box is the last word
      if (std::sscanf(s.c_str() + s.rfind(' ') + 1, "%lf-%lf,%lf-%lf", &x0, &x1, &y0, &y1) == 4)
        runners.push_back({x0, y0, x1 - x0, y1 - y0});
    }
  }
  const auto scan = [&] {
    PersonDetector people(personModel);
    FaceDetector faces(faceModel);
    std::vector<std::vector<Seen>> all;
    for (const auto& [picture, runners] : scenes) {
      auto& seen = all.emplace_back();
      for (const Person& p : people.detect(picture)) {
        if (p.confidence < 0.35) continue;
        const Box band = Box{p.box.x, p.box.y, p.box.width, 0.42 * p.box.height}.clipped();
        // Only faces centred in the band are reported, none scoring below 0.3.
        for (const Detection& f : seen.emplace_back(p, faces.detect(picture, band)).second)
          EXPECT_TRUE(f.confidence >= 0.3 && band.contains({f.box.centerX(), f.box.centerY()}, 0));
      }
    }
    return all;
  };
  const auto serial = scan();
  configureDetectionThreads(2);
  std::vector<std::vector<Seen>> parallel[2];
  {
    std::jthread first([&] { parallel[0] = scan(); }), second([&] { parallel[1] = scan(); });
  }
  configureDetectionThreads(1);
  EXPECT_EQ(parallel[0], serial);
  EXPECT_EQ(parallel[1], serial);

  int runners = 0, found = 0, withFace = 0;
  for (std::size_t s = 0; s < scenes.size(); ++s) {
    for (const Box& runner : scenes[s].second) {
      ++runners;
      const auto best = std::max_element(serial[s].begin(), serial[s].end(), [&](auto& a, auto& b) {
        return overlap(a.first.box, runner) < overlap(b.first.box, runner);
      });
      if (best == serial[s].end() || overlap(best->first.box, runner) < 0.5) continue;
      ++found;
      withFace += std::any_of(best->second.begin(), best->second.end(), [&](const Detection& f) {
        return f.confidence >= 0.5 && best->first.box.contains(f.box, 0.03);
      });
    }
  }
  std::printf("[ detection ] prominent runners found %d/%d, with a face %d/%d\n", found, runners,
              withFace, found);
  EXPECT_EQ(std::pair(runners, found), std::pair(41, 41));  // as SCENES.tsv lists them
  EXPECT_GE(withFace * 5, found * 4) << "a face for fewer than 80 % of the runners";

  // A face keeps its own box, also past the band searched: whether it belongs to
  // the runner is the analyzer's call, which a box cut to the band would always pass.
  const RGBImage picture = analysisImage(photos / "race-large/0057-IMG_0080.JPG");
  FaceDetector detector(faceModel);
  const Box band{0.26, 0.10, 0.27, 0.42 * 0.88};  // runner #951
  const auto first = detector.detect(picture, band);
  ASSERT_FALSE(first.empty());
  const Box face = first.front().box;
  // The same search ending a fifth of the face above its chin.
  const Box cut{band.x, band.y, band.width, face.maxY() - 0.2 * face.height - band.y};
  const auto again = detector.detect(picture, cut);
  ASSERT_FALSE(again.empty());
  EXPECT_GT(again.front().box.maxY(), cut.maxY());
}

}  // namespace
}  // namespace kestrel
