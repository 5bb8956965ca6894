// SPDX-License-Identifier: MIT
// Runs over the real race photographs: fixed mode checked with independent
// tools (exiftool, djpeg), automatic mode with the shared models, damaged photos.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/batch/batch_processor.h"
#include "core/planning/crop_planner.h"
#include "core/run/record_json.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string commandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char block[65536];
  for (std::size_t n; pipe && (n = fread(block, 1, sizeof block, pipe));) out.append(block, n);
  if (pipe) pclose(pipe);
  return out;
}

// RGB rows by djpeg, without fancy upsampling: a crop's edge chroma stays its own.
std::string djpegRGB(const fs::path& jpeg, int& width) {
  const std::string data = commandOutput("djpeg -nosmooth -pnm '" + jpeg.string() + "'");
  int height = 0, maxValue = 0, consumed = 0;
  std::sscanf(data.c_str(), "P6 %d %d %d%n", &width, &height, &maxValue, &consumed);
  return data.substr(static_cast<std::size_t>(consumed) + 1);
}

BatchConfiguration autoConfig(const fs::path& input, const fs::path& output,
                              const fs::path& models) {
  BatchConfiguration c(input, output);
  c.model = models / "yolo-fastest-1.1-xl" / "yolo-fastest-1.1-xl.cfg";
  c.faceModel = models / "face-api";
  c.workers = 2;
  c.previewCount = 4;
  return c;
}

// Every crop's EXIF dimensions are repaired; the first two photos' pixels
// equal the original's rectangle (the JPEG tests cover the rest).
TEST(RacePhotosTest, FixedModeCropsLosslesslyWithRepairedExif) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  if (std::system("command -v exiftool >/dev/null && command -v djpeg >/dev/null") != 0) {
    GTEST_SKIP() << "exiftool or djpeg missing";
  }
  TempDir dir;
  BatchConfiguration c(photos / "race-large", dir.path());
  c.mode = ProcessingMode::fixed;
  c.previewCount = 0;
  const RunSummary s = BatchProcessor::run(c, makeCancellationToken());
  EXPECT_EQ(s.counts.cropped, 14);
  for (const FileResult& r : s.files) {
    const PixelRect crop = r.decision.value().crop.value();
    const fs::path output = s.runDirectory / "photos" / r.relativePath;
    EXPECT_EQ(commandOutput("exiftool -s3 -n -ExifIFD:ExifImageWidth -ExifIFD:ExifImageHeight '" +
                            output.string() + "'"),
              std::to_string(crop.width) + "\n" + std::to_string(crop.height) + "\n")
        << r.relativePath;
    if (r.index >= 2) continue;
    int width = 0, originalWidth = 0;
    const std::string cropped = djpegRGB(output, width);
    const std::string original = djpegRGB(photos / "race-large" / r.relativePath, originalWidth);
    ASSERT_EQ(cropped.size(), static_cast<std::size_t>(crop.width * crop.height * 3));
    const auto row = static_cast<std::size_t>(crop.width * 3);
    for (std::int64_t y = 0; y < crop.height; ++y) {
      const auto from = static_cast<std::size_t>(((crop.y + y) * originalWidth + crop.x) * 3);
      ASSERT_EQ(cropped.compare(static_cast<std::size_t>(y) * row, row, original, from, row), 0)
          << r.relativePath << " row " << y;
    }
  }
}

// Race numbers end to end on two photos with one clear bib each (236 and
// 100): read in auto mode, kept in summary.json, listed in bibs.csv with
// the photo's folder, shown on the report's cards (each number on a runner).
TEST(RacePhotosTest, AutomaticModeReadsTheRunnersNumbers) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  fs::create_directories(dir / "in");
  for (const char* name : {"0058-IMG_0081.JPG", "0064-IMG_0089.JPG"})
    fs::copy_file(photos / "race-small" / name, dir / "in" / name);
  const RunSummary s =
      BatchProcessor::run(autoConfig(dir / "in", dir / "out", models), makeCancellationToken());
  ASSERT_EQ(s.files.size(), 2u);
  const auto has = [](const FileResult& r, const std::string& number) {
    return std::any_of(r.bibs.begin(), r.bibs.end(), [&](const Bib& b) {
      return b.number == number &&
             r.decision->people.at(static_cast<std::size_t>(b.person)).box.contains(b.box, 0.01);
    });
  };
  EXPECT_TRUE(has(s.files[0], "236"));
  EXPECT_TRUE(has(s.files[1], "100"));
  // Below 18 MP both are filed under filtered/, and bibs.csv says so.
  const std::string csv = readFile(s.runDirectory / "bibs.csv");
  EXPECT_NE(csv.find("\n236,\"0058-IMG_0081.JPG\",filtered,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\n100,\"0064-IMG_0089.JPG\",filtered,"), std::string::npos) << csv;
  EXPECT_NE(readFile(s.runDirectory / "report.html").find("data-bibs=\""), std::string::npos);
}

TEST(AutoModeTest, SummaryRecordsEveryInputOfEachDecision) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  const BatchConfiguration config = autoConfig(photos / "race-large", dir.path(), models);
  const RunSummary s = BatchProcessor::run(config, makeCancellationToken());
  // Plan again from the file alone, as an independent reader would.
  const RunSummary reread =
      nlohmann::json::parse(readFile(s.runDirectory / "summary.json")).get<RunSummary>();
  const CropPlanner planner{config.maximumTrim, config.minimumLongEdge, config.minimumPixelCount,
                            config.confidence};
  int withFace = 0;
  for (const FileResult& r : reread.files) {
    ASSERT_TRUE(r.info && r.decision && r.sharpness) << r.relativePath;
    EXPECT_EQ(planner.plan(*r.info, static_cast<int>(r.orientation), r.decision->people, false,
                           r.sharpness),
              *r.decision)
        << r.relativePath;
    withFace += r.sharpness->regionKind == "face";
  }
  EXPECT_GE(withFace, 12);
}

TEST(AutoModeTest, BlurredCopiesAreNeverJudgedSharp) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  fs::create_directories(dir / "in");
  for (const char* name : {"0040-IMG_0061.JPG", "0057-IMG_0080.JPG", "0058-IMG_0081.JPG",
                           "0062-IMG_0087.JPG", "821-IMG_1297.JPG", "prom3.jpg"}) {
    const fs::path source = photos / "race-large" / name;
    fs::copy_file(source, dir / "in" / name);
    // σ = 12 px at full resolution: more than a face patch shrunk to 160 px can hide.
    cv::Mat image = cv::imread(source.string(), cv::IMREAD_COLOR);
    cv::GaussianBlur(image, image, cv::Size(0, 0), 12.0);
    ASSERT_TRUE(cv::imwrite((dir / "in" / ("blurred-" + std::string(name))).string(), image,
                            {cv::IMWRITE_JPEG_QUALITY, 92}));
  }
  const RunSummary s =
      BatchProcessor::run(autoConfig(dir / "in", dir / "out", models), makeCancellationToken());
  int sharpOriginals = 0;
  for (const FileResult& r : s.files) {
    ASSERT_TRUE(r.sharpness) << r.relativePath;
    const bool isBlurred = r.relativePath.starts_with("blurred-");
    sharpOriginals += !isBlurred && r.sharpness->verdict == SharpnessVerdict::sharp;
    EXPECT_FALSE(isBlurred && r.sharpness->verdict == SharpnessVerdict::sharp) << r.relativePath;
    EXPECT_FALSE(isBlurred && r.status() == FileStatus::cropped) << r.relativePath;
  }
  EXPECT_GE(sharpOriginals, 4);
}

// A missing model stops the run before any photo: the batch folder has an empty photos/.
TEST(AutoModeTest, BadModelsStopTheRunBeforeAnyPhoto) {
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  fs::create_directories(dir / "in");
  writeFile(dir / "in" / "a.jpg", "not looked at");
  for (const bool faceMissing : {false, true}) {
    const fs::path out = dir / "out" / std::to_string(faceMissing);
    BatchConfiguration c = autoConfig(dir / "in", out, models);
    (faceMissing ? c.faceModel : c.model) = dir / "nowhere";
    EXPECT_ANY_THROW(BatchProcessor::run(c, makeCancellationToken()));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(out), {}), 2);
  }
}

// Damaged photos are never delivered as good: in automatic mode truncated
// data, a flipped byte that turns byte stuffing into a marker, and stray
// data before the end marker all go to review/ with the decoder's text;
// fixed mode still refuses them and copy mode still copies them.
TEST(DamagedPhotosTest, AreHeldForReviewWithTheDecodersText) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  TempDir dir;
  const std::string whole = readFile(photos / "race-large" / "0009-IMG_0027.JPG");
  std::string marker = whole;  // the first stuffed FF 00 past the middle becomes RST4
  marker[marker.find(std::string("\xFF\x00", 2), marker.size() / 2) + 1] = '\xD4';
  const std::string stray = whole.substr(0, whole.size() - 2) + std::string(2'000'000, '\0') +
                            whole.substr(whole.size() - 2);
  const struct {
    const char* name;
    std::string bytes, text;
  } damaged[] = {
      {"cut-30.jpg", whole.substr(0, whole.size() * 3 / 10), "Premature end of JPEG file"},
      {"cut-95.jpg", whole.substr(0, whole.size() * 95 / 100), "Premature end of JPEG file"},
      {"marker.jpg", marker, "Corrupt JPEG data: premature end of data segment"},
      {"stray.jpg", stray, "Corrupt JPEG data: "},  // "… extraneous bytes before marker 0xd9"
  };
  fs::create_directories(dir / "in");
  writeFile(dir / "in" / "whole.jpg", whole);
  for (const auto& [name, bytes, text] : damaged) writeFile(dir / "in" / name, bytes);
  BatchConfiguration config = autoConfig(dir / "in", dir / "auto", models);
  const RunSummary s = BatchProcessor::run(config, makeCancellationToken());
  ASSERT_EQ(s.files.size(), 5u);
  for (const auto& [name, bytes, text] : damaged) {
    const auto r = std::find_if(s.files.begin(), s.files.end(),
                                [&](const FileResult& f) { return f.relativePath == name; });
    ASSERT_NE(r, s.files.end());
    EXPECT_TRUE(r->reviewReason.value_or("").starts_with("照片数据损坏，请人工检查：" + text))
        << name;
    EXPECT_EQ(r->decision->reason, r->reviewReason) << name;
    EXPECT_TRUE(fs::exists(s.runDirectory / "review" / name)) << name;
  }
  EXPECT_FALSE(fs::exists(s.runDirectory / "review" / "whole.jpg"));

  config.mode = ProcessingMode::fixed;
  config.outputRoot = dir / "fixed";
  EXPECT_EQ(BatchProcessor::run(config, makeCancellationToken()).counts.failed, 4);
  config.mode = ProcessingMode::copy;
  config.outputRoot = dir / "copy";
  EXPECT_EQ(BatchProcessor::run(config, makeCancellationToken()).counts.unchanged, 5);
}

}  // namespace
}  // namespace kestrel
