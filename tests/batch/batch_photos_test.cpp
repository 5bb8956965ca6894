// SPDX-License-Identifier: MIT
// Copy and fixed runs over the real race photographs, checked with
// independent tools: byte comparison, exiftool and djpeg.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "core/batch/batch_processor.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

std::string commandOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "";
  std::string out;
  char buffer[65536];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

bool haveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quotedPath(const fs::path& p) { return "'" + p.string() + "'"; }

// A binary PPM as djpeg writes it: width, height and the RGB bytes.
struct PPM {
  int width = 0, height = 0;
  std::string rgb;
};

// Without fancy upsampling, so the chroma at a crop's edge does not depend
// on the pixels the crop cut away.
PPM decodeWithDjpeg(const fs::path& jpeg) {
  const std::string data = commandOutput("djpeg -nosmooth -pnm " + quotedPath(jpeg));
  PPM ppm;
  int maxValue = 0, consumed = 0;
  if (std::sscanf(data.c_str(), "P6 %d %d %d%n", &ppm.width, &ppm.height, &maxValue, &consumed) !=
      3) {
    return {};
  }
  ppm.rgb = data.substr(static_cast<std::size_t>(consumed) + 1);
  return ppm;
}

BatchConfiguration raceConfig(const fs::path& photos, const fs::path& out, ProcessingMode mode) {
  BatchConfiguration c(photos / "race-large", out);
  c.mode = mode;
  c.workers = 2;
  c.previewCount = 2;
  return c;
}

TEST(RacePhotosTest, CopyModeOutputsAreByteIdentical) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  TempDir dir;
  const RunSummary s = BatchProcessor::run(raceConfig(photos, dir.path(), ProcessingMode::copy),
                                           makeCancellationToken());
  EXPECT_EQ(s.processed, 14);
  EXPECT_EQ(s.counts.unchanged, 14);
  for (const FileResult& r : s.files) {
    EXPECT_EQ(readFile(s.runDirectory / "photos" / r.relativePath),
              readFile(photos / "race-large" / r.relativePath))
        << r.relativePath;
  }
}

TEST(RacePhotosTest, FixedModeCropsLosslesslyWithRepairedExif) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  if (!haveTool("exiftool") || !haveTool("djpeg")) GTEST_SKIP() << "exiftool or djpeg missing";
  TempDir dir;
  const RunSummary s = BatchProcessor::run(raceConfig(photos, dir.path(), ProcessingMode::fixed),
                                           makeCancellationToken());
  EXPECT_EQ(s.processed, 14);
  EXPECT_EQ(s.counts.cropped, 14);
  const auto summary = nlohmann::json::parse(readFile(s.runDirectory / "summary.json"));
  int pixelChecks = 0;
  for (const auto& file : summary.at("files")) {
    const std::string name = file.at("relativePath");
    const auto& crop = file.at("decision").at("crop");
    const int x = crop.at("x"), y = crop.at("y"), w = crop.at("width"), h = crop.at("height");
    const fs::path output = s.runDirectory / "photos" / name;
    const std::string dims = commandOutput(
        "exiftool -s3 -n -ExifIFD:ExifImageWidth "
        "-ExifIFD:ExifImageHeight " +
        quotedPath(output));
    EXPECT_EQ(dims, std::to_string(w) + "\n" + std::to_string(h) + "\n") << name;

    // Pixels: decode both with djpeg and compare the rectangle (two photos
    // keep the suite quick; the JPEG tests cover the rest).
    if (pixelChecks++ >= 2) continue;
    const PPM cropped = decodeWithDjpeg(output);
    const PPM original = decodeWithDjpeg(photos / "race-large" / name);
    ASSERT_EQ(cropped.width, w) << name;
    ASSERT_EQ(cropped.height, h) << name;
    for (int row = 0; row < h; ++row) {
      const std::size_t from = (static_cast<std::size_t>(y + row) * original.width + x) * 3;
      ASSERT_EQ(cropped.rgb.compare(static_cast<std::size_t>(row) * w * 3,
                                    static_cast<std::size_t>(w) * 3, original.rgb, from,
                                    static_cast<std::size_t>(w) * 3),
                0)
          << name << " row " << row;
    }
  }
}

TEST(RacePhotosTest, TwelveMegapixelPhotoIsFiltered) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  TempDir dir;
  fs::create_directories(dir / "in");
  fs::copy_file(photos / "variants" / "0057-IMG_0080" / "12mp-4000x3000.jpg",
                dir / "in" / "12mp.jpg");
  BatchConfiguration c(dir / "in", dir / "out");
  c.mode = ProcessingMode::fixed;
  const RunSummary s = BatchProcessor::run(c, makeCancellationToken());
  ASSERT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.files[0].filteredReason, "原片不足1800万像素，不放大，单独存放");
  EXPECT_EQ(s.files[0].status(), FileStatus::filtered);
  EXPECT_EQ(readFile(s.runDirectory / "filtered" / "12mp.jpg"), readFile(dir / "in" / "12mp.jpg"));
}

}  // namespace
}  // namespace kestrel
