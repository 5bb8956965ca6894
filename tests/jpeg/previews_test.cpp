// SPDX-License-Identifier: MIT
// Preview and focus close-up files for the report.
#include "core/jpeg/previews.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <system_error>

#include "core/batch/crop_error.h"
#include "core/jpeg/exif.h"
#include "core/jpeg/jpeg_engine.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;
namespace fs = std::filesystem;

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

ByteVector orientedJPEG(int width, int height, int orientation) {
  SyntheticSpec spec;
  spec.width = width;
  spec.height = height;
  spec.writeJFIF = false;
  spec.markers = {
      {0xE1,
       makeExif({.ifd0 = {{0x0112, 3, 1, static_cast<std::uint32_t>(orientation)}}}).payload}};
  return makeJPEG(spec);
}

TEST(Preview, WritesAnUprightJPEGOfAtMost1000Pixels) {
  const testing::TempDir dir;
  struct Case {
    int width, height, orientation;
    int expectWidth, expectHeight;
  };
  const Case cases[] = {
      {2000, 1000, 1, 1000, 500}, {300, 200, 6, 200, 300}, {1200, 1600, 8, 1000, 750}};
  for (const Case& c : cases) {
    writeBytes(dir / "in.jpg", orientedJPEG(c.width, c.height, c.orientation));
    preview(dir / "in.jpg", dir / "out.jpg");
    const ByteVector written = readBytes(dir / "out.jpg");
    const Decoded d = decode(written, DecodeAs::rgb);
    EXPECT_EQ(d.width, c.expectWidth);
    EXPECT_EQ(d.height, c.expectHeight);
    EXPECT_EQ(exif::orientation(written), std::nullopt);  // pixels are already upright
  }
}

TEST(Preview, FailuresCarryTheirMessages) {
  const testing::TempDir dir;
  writeBytes(dir / "in.jpg", orientedJPEG(64, 48, 1));
  writeBytes(dir / "png.jpg", ByteVector{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
  EXPECT_EQ(errorOf([&] { preview(dir / "missing.jpg", dir / "out.jpg"); }), "预览无法读取文件");
  EXPECT_EQ(errorOf([&] { preview(dir / "png.jpg", dir / "out.jpg"); }), "预览无法读取文件");
  EXPECT_EQ(errorOf([&] { preview(dir / "in.jpg", dir / "no" / "out.jpg"); }), "预览无法创建输出");
  EXPECT_EQ(errorOf([&] {
              writePreviewJPEG(RGBImage{2, 2, {1, 2, 3}}, dir / "bad.jpg");
            }),
            "预览写入失败");
}

TEST(Preview, WriteFailureLeavesNoFile) {
  const testing::TempDir dir;
  RGBImage image{400, 300, std::vector<std::uint8_t>(400 * 300 * 3)};
  for (std::size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = static_cast<std::uint8_t>(i * 7919);
  // A file size limit makes write() fail with EFBIG once the limit is hit.
  const auto writeWithLimit = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = errorOf([&] { writePreviewJPEG(image, dir / "big.jpg"); });
    std::exit(error == "预览写入失败" && !fs::exists(dir / "big.jpg") ? 0 : 1);
  };
  EXPECT_EXIT(writeWithLimit(), ::testing::ExitedWithCode(0), "");
}

TEST(FocusPreview, WritesTheStoredGridTaggedWithTheOrientation) {
  const testing::TempDir dir;
  // Stored 400 × 600, shown upright as 600 × 400 under orientation 6.
  const ByteVector jpeg = orientedJPEG(400, 600, 6);
  writeBytes(dir / "in.jpg", jpeg);
  const Box display{0.25, 0.5, 0.5, 0.25};  // upright: x 150…450, y 200…300
  focusPreview(dir / "in.jpg", dir / "focus.jpg", display, 6);

  // Raw box for orientation 6: x = y_d, y = 1 − x_d − w_d, w = h_d, h = w_d.
  JPEGEngine engine;
  const GrayPatch expected = engine.grayscaleROI(jpeg, PixelRect{200, 150, 100, 300});
  const ByteVector written = readBytes(dir / "focus.jpg");
  EXPECT_EQ(exif::orientation(written), 6);
  const Decoded d = decode(written, DecodeAs::rgb);
  EXPECT_EQ(d.components, 1);
  ASSERT_EQ(d.width, expected.width);
  ASSERT_EQ(d.height, expected.height);
  double error = 0;
  for (std::size_t i = 0; i < d.pixels.size(); ++i)
    error += std::abs(d.pixels[i] - expected.pixels.data()[i]);
  EXPECT_LT(error / static_cast<double>(d.pixels.size()), 3.0);  // quality 95

  if (haveTool("exiftool")) {
    EXPECT_EQ(run("exiftool -s3 -n -Orientation " + quote(dir / "focus.jpg")), "6\n");
  }
}

TEST(FocusPreview, FailuresCarryTheirMessages) {
  const testing::TempDir dir;
  writeBytes(dir / "in.jpg", orientedJPEG(400, 300, 1));
  const Box box{0.1, 0.1, 0.2, 0.2};
  EXPECT_THROW(focusPreview(dir / "missing.jpg", dir / "f.jpg", box, 1), std::system_error);
  EXPECT_EQ(errorOf([&] {
              focusPreview(dir / "in.jpg", dir / "f.jpg", {1.5, 0.1, 0.2, 0.2}, 1);
            }),
            "Invalid grayscale focus region");
  EXPECT_EQ(errorOf([&] {
              focusPreview(dir / "in.jpg", dir / "f.jpg", {std::nan(""), 0.1, 0.2, 0.2}, 1);
            }),
            "无法生成主体预览");
  EXPECT_EQ(errorOf([&] { focusPreview(dir / "in.jpg", dir / "no" / "f.jpg", box, 1); }),
            "无法生成主体预览");
  GrayPatch broken;
  broken.width = 10;
  broken.height = 10;
  broken.pixels = Bytes(std::vector<std::uint8_t>(99));
  EXPECT_EQ(errorOf([&] { writeFocusJPEG(broken, dir / "f.jpg", 1); }), "无法生成主体预览");
  EXPECT_FALSE(fs::exists(dir / "f.jpg"));
}

}  // namespace
}  // namespace kestrel
