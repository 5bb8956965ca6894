// SPDX-License-Identifier: MIT
// Automatic mode end to end with the shared models: decisions reproducible
// from what summary.json records, blurred copies never judged sharp, and bad
// models stopping the run before any photo is touched.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/batch/batch_processor.h"
#include "core/planning/crop_planner.h"
#include "core/run/record_json.h"
#include "tests/detection/detection_fixtures.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

BatchConfiguration autoConfig(const fs::path& input, const fs::path& output,
                              const fs::path& models) {
  BatchConfiguration c(input, output);
  c.model = models / "yolo-fastest-1.1-xl" / "yolo-fastest-1.1-xl.cfg";
  c.faceModel = models / "face-api";
  c.workers = 2;
  c.previewCount = 4;
  return c;
}

TEST(AutoModeTest, SummaryRecordsEveryInputOfEachDecision) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  const BatchConfiguration config = autoConfig(photos / "race-large", dir.path(), models);
  const RunSummary s = BatchProcessor::run(config, makeCancellationToken());
  EXPECT_EQ(s.processed, 14);
  EXPECT_EQ(s.counts.failed, 0);
  EXPECT_EQ(s.modelPath, config.model->string());
  ASSERT_TRUE(s.firstOutputSeconds);

  // Plan again from the file alone, as an independent reader would.
  const RunSummary reread =
      nlohmann::json::parse(readFile(s.runDirectory / "summary.json")).get<RunSummary>();
  const CropPlanner planner{config.maximumTrim, config.minimumLongEdge, config.minimumPixelCount,
                            config.confidence};
  int withFace = 0;
  for (const FileResult& r : reread.files) {
    ASSERT_TRUE(r.info && r.decision && r.sharpness) << r.relativePath;
    EXPECT_FALSE(r.decision->people.empty()) << r.relativePath;
    EXPECT_EQ(planner.plan(*r.info, static_cast<int>(r.orientation), r.decision->people, false,
                           r.sharpness),
              *r.decision)
        << r.relativePath;
    // The measured subject is one of the detected people, bit for bit.
    if (r.sharpness->subject) {
      const auto& people = r.decision->people;
      EXPECT_TRUE(std::any_of(people.begin(), people.end(), [&](const Person& p) {
        return p.box == *r.sharpness->subject;
      })) << r.relativePath;
    }
    withFace += r.sharpness->regionKind == "face";
  }
  EXPECT_GE(withFace, 12);
  EXPECT_TRUE(fs::exists(s.runDirectory / "report.html"));
}

TEST(AutoModeTest, BlurredCopiesAreNeverJudgedSharp) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  fs::create_directories(dir / "in");
  const char* names[] = {"0040-IMG_0061.JPG", "0057-IMG_0080.JPG", "0058-IMG_0081.JPG",
                         "0062-IMG_0087.JPG", "821-IMG_1297.JPG",  "prom3.jpg"};
  for (const char* name : names) {
    const fs::path source = photos / "race-large" / name;
    fs::copy_file(source, dir / "in" / name);
    // σ = 12 px at full resolution: far beyond what a face patch shrunk to
    // 160 px can hide.
    cv::Mat image = cv::imread(source.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << name;
    cv::GaussianBlur(image, image, cv::Size(0, 0), 12.0);
    ASSERT_TRUE(cv::imwrite((dir / "in" / ("blurred-" + std::string(name))).string(), image,
                            {cv::IMWRITE_JPEG_QUALITY, 92}));
  }
  if (std::getenv("KESTREL_KEEP")) fs::copy(dir / "in", std::getenv("KESTREL_KEEP"));
  const RunSummary s =
      BatchProcessor::run(autoConfig(dir / "in", dir / "out", models), makeCancellationToken());
  std::map<std::string, int> originals, blurred;
  for (const FileResult& r : s.files) {
    ASSERT_TRUE(r.sharpness) << r.relativePath;
    const std::string verdict(rawValue(r.sharpness->verdict));
    (r.relativePath.starts_with("blurred-") ? blurred : originals)[verdict] += 1;
    if (r.relativePath.starts_with("blurred-")) {
      EXPECT_NE(r.sharpness->verdict, SharpnessVerdict::sharp) << r.relativePath;
      EXPECT_NE(r.status(), FileStatus::cropped) << r.relativePath;
    }
  }
  auto show = [](const std::map<std::string, int>& counts) {
    std::string text;
    for (const auto& [verdict, n] : counts) text += verdict + " " + std::to_string(n) + "  ";
    return text;
  };
  std::cout << "verdicts — originals: " << show(originals) << "| blurred copies: " << show(blurred)
            << "\n";
  EXPECT_GE(originals["sharp"], 4);
}

TEST(AutoModeTest, BadModelsStopTheRunBeforeAnyPhoto) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  fs::create_directories(dir / "in");
  fs::copy_file(photos / "race-small" / "0057-IMG_0080.JPG", dir / "in" / "a.jpg");
  const fs::path real = models / "yolo-fastest-1.1-xl";
  fs::create_directories(dir / "truncated");
  fs::copy_file(real / "yolo-fastest-1.1-xl.cfg", dir / "truncated" / "m.cfg");
  const std::string weights = readFile(real / "yolo-fastest-1.1-xl.weights");
  testing::writeFile(dir / "truncated" / "m.weights", weights.substr(0, weights.size() / 2));
  fs::create_directories(dir / "classifier");
  testing::writeFile(dir / "classifier" / "c.cfg", testing::kTinyClassifierCfg);
  testing::writeFile(dir / "classifier" / "c.weights", testing::darknetWeights(124 + 35));

  const struct {
    const char* name;
    fs::path model;
    std::optional<fs::path> faceModel;
  } cases[] = {
      {"missing model", dir / "nowhere" / "YOLOv3TinyFP16.mlmodelc", std::nullopt},
      {"truncated weights", dir / "truncated" / "m.cfg", std::nullopt},
      {"not a detector", dir / "classifier" / "c.cfg", std::nullopt},
      {"missing face model", real / "yolo-fastest-1.1-xl.cfg", dir / "no-face-model"},
  };
  for (const auto& row : cases) {
    const fs::path out = dir / "out" / row.name;
    BatchConfiguration c = autoConfig(dir / "in", out, models);
    c.model = row.model;
    if (row.faceModel) c.faceModel = row.faceModel;
    std::string message;
    try {
      BatchProcessor::run(c, makeCancellationToken());
    } catch (const std::exception& error) {
      message = error.what();
    }
    EXPECT_FALSE(message.empty()) << row.name;
    std::cout << row.name << ": " << message << "\n";
    // Only the reserved batch directory with its empty photos folder.
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(out)) entries.push_back(e.path());
    ASSERT_EQ(entries.size(), 2u) << row.name;
    EXPECT_TRUE(fs::is_empty(entries.back())) << row.name;
  }
}

}  // namespace
}  // namespace kestrel
