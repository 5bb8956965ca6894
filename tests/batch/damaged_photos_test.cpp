// SPDX-License-Identifier: MIT
// Damaged photos are never delivered as good: in automatic mode truncated
// data, a flipped byte that turns byte stuffing into a marker, and stray
// data before the end marker all go to review/ with the decoder's text;
// fixed mode still refuses them and copy mode still copies them.
#include <gtest/gtest.h>

#include "core/batch/batch_processor.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(DamagedPhotosTest, AreHeldForReviewWithTheDecodersText) {
  KESTREL_REQUIRE_TEST_DATA(photos);
  KESTREL_REQUIRE_TEST_MODELS(models);
  testing::TempDir dir;
  const std::string whole = testing::readFile(photos / "race-large" / "0009-IMG_0027.JPG");
  std::string marker = whole;  // the first stuffed FF 00 past the middle becomes RST4
  marker[marker.find(std::string("\xFF\x00", 2), marker.size() / 2) + 1] = '\xD4';
  const std::string stray = whole.substr(0, whole.size() - 2) + std::string(2'000'000, '\0') +
                            whole.substr(whole.size() - 2);
  const std::pair<std::string, std::string> damaged[] = {
      {"cut-30.jpg", "Premature end of JPEG file"},
      {"cut-95.jpg", "Premature end of JPEG file"},
      {"marker.jpg", "Corrupt JPEG data: premature end of data segment"},
      {"stray.jpg", "Corrupt JPEG data: "},  // "… extraneous bytes before marker 0xd9"
  };
  fs::create_directories(dir / "in");
  testing::writeFile(dir / "in" / "whole.jpg", whole);
  testing::writeFile(dir / "in" / "cut-30.jpg", whole.substr(0, whole.size() * 3 / 10));
  testing::writeFile(dir / "in" / "cut-95.jpg", whole.substr(0, whole.size() * 95 / 100));
  testing::writeFile(dir / "in" / "marker.jpg", marker);
  testing::writeFile(dir / "in" / "stray.jpg", stray);

  BatchConfiguration config(dir / "in", dir / "auto");
  config.model = models / "yolo-fastest-1.1-xl" / "yolo-fastest-1.1-xl.cfg";
  config.faceModel = models / "face-api";
  config.previewCount = 0;
  const RunSummary s = BatchProcessor::run(config, makeCancellationToken());
  ASSERT_EQ(s.files.size(), 5u);
  EXPECT_EQ(s.counts.review, 4);
  for (const auto& [name, text] : damaged) {
    const auto r = std::find_if(s.files.begin(), s.files.end(),
                                [&](const FileResult& f) { return f.relativePath == name; });
    ASSERT_NE(r, s.files.end());
    ASSERT_TRUE(r->reviewReason) << name;
    EXPECT_TRUE(r->reviewReason->starts_with("照片数据损坏，请人工检查：" + text))
        << *r->reviewReason;
    EXPECT_EQ(r->decision->reason, *r->reviewReason) << name;
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
