// SPDX-License-Identifier: MIT
// ImagePreparation (source validation, orientation, thumbnail size,
// averaging, colour spaces, truncated data, the orientation set) and the
// preview and focus close-up files built on it for the report.
#include "core/jpeg/image_preparation.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <system_error>

#include "core/jpeg/detail/exif.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/previews.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;
namespace fs = std::filesystem;

ImageSource sourceOf(const ByteVector& jpeg) { return ImagePreparation::source(Bytes(jpeg)); }

TEST(ImagePreparation, SourceAndOrientation) {
  const ByteVector jpeg = makeJPEG({});
  for (const ByteVector& bad : {ByteVector{}, kPNGStart, ByteVector{'h', 'e', 'l', 'l', 'o'},
                                ByteVector(jpeg.begin(), jpeg.begin() + 50)}) {  // header cut
    EXPECT_EQ(errorOf([&] { sourceOf(bad); }), "无法读取 JPEG 图像");
  }
  const ImageSource source = sourceOf(jpeg);
  EXPECT_EQ(source.storedWidth, 96);
  EXPECT_EQ(source.storedHeight, 64);
  EXPECT_EQ(ImagePreparation::orientation(source), 1);  // no EXIF
  const ByteVector nine =
      makeJPEG({.writeJFIF = false, .markers = {{0xE1, makeExif({.ifd0 = {{0x0112, 3, 1, 9}}})}}});
  EXPECT_EQ(ImagePreparation::orientation(sourceOf(nine)), 9);  // not range-checked
}

TEST(ImagePreparationThumbnail, KeepsAspectWithExactLongEdgeAndNeverEnlarges) {
  struct Case {
    int width, height;
    std::int64_t longEdge;
    int expectWidth, expectHeight;
  };
  const Case cases[] = {
      {400, 600, 102, 68, 102},    // DCT 1/4 then averaging
      {600, 401, 300, 300, 201},   // 200.5 rounds up
      {300, 200, 1024, 300, 200},  // never enlarged
      {1000, 4, 100, 100, 1},      // the shorter side stays ≥ 1
  };
  for (const Case& c : cases) {
    const RGBImage image = ImagePreparation::thumbnail(
        sourceOf(makeJPEG({.width = c.width, .height = c.height})), c.longEdge);
    EXPECT_EQ(std::pair(image.width, image.height), std::pair(c.expectWidth, c.expectHeight))
        << c.width << "x" << c.height << " → " << c.longEdge;
  }
  EXPECT_EQ(errorOf([&] { ImagePreparation::thumbnail(sourceOf(makeJPEG({})), 0); }),
            "无法生成分析小图");
}

// Largest difference between `thumb` and a double-precision area average
// of `source`.
double areaAverageError(const Decoded& source, const RGBImage& thumb) {
  const double sx = static_cast<double>(source.width) / thumb.width;
  const double sy = static_cast<double>(source.height) / thumb.height;
  double largest = 0;
  for (int y = 0; y < thumb.height; ++y) {
    for (int x = 0; x < thumb.width; ++x) {
      std::array<double, 3> sum{};
      double weight = 0;
      for (int py = static_cast<int>(y * sy); py < source.height && py < (y + 1) * sy; ++py) {
        const double wy = std::min<double>(py + 1, (y + 1) * sy) - std::max<double>(py, y * sy);
        for (int px = static_cast<int>(x * sx); px < source.width && px < (x + 1) * sx; ++px) {
          const double wx = std::min<double>(px + 1, (x + 1) * sx) - std::max<double>(px, x * sx);
          for (int c = 0; c < 3; ++c) sum[c] += source.at(px, py)[c] * wx * wy;
          weight += wx * wy;
        }
      }
      for (int c = 0; c < 3; ++c) {
        const std::size_t i = (static_cast<std::size_t>(y) * thumb.width + x) * 3 + c;
        largest = std::max(largest, std::abs(sum[c] / weight - thumb.pixels[i]));
      }
    }
  }
  return largest;
}

// The thumbnail is the exact area average of the decode at the smallest
// DCT scale that covers it.
TEST(ImagePreparationThumbnail, IsTheAreaAverageOfTheDecodedPicture) {
  const ByteVector jpeg =
      makeJPEG({.width = 640, .height = 480, .factors = kSamplingByCode[0], .quality = 95});
  struct Case {
    std::int64_t longEdge;
    int denominator;
  };
  for (const Case c : {Case{70, 8}, Case{160, 4}, Case{213, 2}, Case{500, 1}}) {
    const RGBImage thumb = ImagePreparation::thumbnail(sourceOf(jpeg), c.longEdge);
    EXPECT_LE(areaAverageError(decode(jpeg, DecodeAs::rgb, c.denominator), thumb), 0.5 + 1e-9)
        << "long edge " << c.longEdge;  // rounding only
  }
}

TEST(ImagePreparationThumbnail, GrayAndCMYKComeOutAsRGB) {
  const RGBImage g =
      ImagePreparation::thumbnail(sourceOf(makeJPEG({.factors = kSamplingByCode[3]})), 48);
  ASSERT_TRUE(g.valid());
  for (std::size_t i = 0; i < g.pixels.size(); i += 3) {
    ASSERT_EQ(g.pixels[i], g.pixels[i + 1]);
    ASSERT_EQ(g.pixels[i], g.pixels[i + 2]);
  }
  // Adobe CMYK stores inverted ink: pure red (C 0, M 255, Y 255, K 0) is
  // stored as 255, 0, 0, 255.
  ByteVector ink;
  for (int i = 0; i < 16 * 16; ++i) ink.insert(ink.end(), {255, 0, 0, 255});
  const RGBImage red =
      ImagePreparation::thumbnail(sourceOf(makeJPEG({.width = 16,
                                                     .height = 16,
                                                     .factors = {{1, 1}, {1, 1}, {1, 1}, {1, 1}},
                                                     .quality = 100,
                                                     .cmyk = true},
                                                    ink)),
                                  16);
  ASSERT_TRUE(red.valid());
  EXPECT_NEAR(red.pixels[0], 255, 2);
  EXPECT_NEAR(red.pixels[1], 0, 2);
  EXPECT_NEAR(red.pixels[2], 0, 2);
}

// A photo cut mid-scan is decoded as far as it goes, as a viewer would.
TEST(ImagePreparationThumbnail, DecodesATruncatedPhoto) {
  KESTREL_REQUIRE_TEST_DATA(data);
  const RGBImage thumb = ImagePreparation::thumbnail(
      sourceOf(readBytes(data / "variants/0057-IMG_0080/truncated-60pct.jpg")), 512);
  EXPECT_EQ(thumb.width, 512);
  EXPECT_EQ(thumb.height, 418);
}

// orient1 … orient8 display the same upright picture: equal up to JPEG
// noise of the transformed blocks (no pixel off by more than 2 % in the
// reference set).
TEST(ImagePreparationThumbnail, OrientationSetIsUprightAndAlike) {
  KESTREL_REQUIRE_TEST_DATA(data);
  RGBImage upright;
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE("orientation " + std::to_string(o));
    const ImageSource source =
        sourceOf(readBytes(data / "orientation-set" / ("orient" + std::to_string(o) + ".jpg")));
    EXPECT_EQ(ImagePreparation::orientation(source), o);
    const RGBImage t = ImagePreparation::thumbnail(source, 312);
    ASSERT_EQ(t.width, 312);
    ASSERT_EQ(t.height, 208);
    if (o == 1) upright = t;
    double total = 0;
    std::size_t off = 0;
    for (std::size_t i = 0; i < t.pixels.size(); ++i) {
      const int d = std::abs(t.pixels[i] - upright.pixels[i]);
      total += d;
      off += d > 12;
    }
    EXPECT_LT(total / static_cast<double>(t.pixels.size()), 1.5);
    EXPECT_LT(off, t.pixels.size() / 500);
  }
}

// -------------------------------------------------------------- previews

// The first quantization table of a JPEG written by libjpeg at `quality`.
ByteVector tablesOf(int quality, const Sampling& factors) {
  return segment(makeJPEG({.factors = factors, .quality = quality}), 0xDB);
}

TEST(Preview, WritesAnUprightJPEGOfAtMost1000Pixels) {
  KESTREL_REQUIRE_TEST_DATA(data);
  const testing::TempDir dir;
  struct Case {
    std::string name;
    int width, height;
  };
  for (const Case& c : {Case{"orientation-set/orient6.jpg", 624, 416},  // stored 416 × 624
                        Case{"orientation-set/orient8.jpg", 624, 416},
                        Case{kIntelLong, 1000, 667}}) {  // 2048 × 1367
    const fs::path out = dir.path() / fs::path(c.name).filename();
    preview(data / c.name, out);
    const ByteVector written = readBytes(out);
    const Decoded d = decode(written, DecodeAs::rgb);
    EXPECT_EQ(std::pair(d.width, d.height), std::pair(c.width, c.height)) << c.name;
    EXPECT_EQ(exif::orientation(written), std::nullopt) << c.name;  // pixels already upright
    EXPECT_EQ(segment(written, 0xDB), tablesOf(kPreviewQuality, kSamplingByCode[2])) << c.name;
  }
}

// Each failure carries its message and leaves no file behind.
TEST(Preview, FailuresCarryTheirMessages) {
  const testing::TempDir dir;
  const fs::path in = dir / "in.jpg", out = dir / "out.jpg", noFolder = dir / "no" / "out.jpg";
  writeBytes(in, makeJPEG({.width = 400, .height = 300}));
  writeBytes(dir / "png.jpg", kPNGStart);
  const Box box{0.1, 0.1, 0.2, 0.2}, outside{1.5, 0.1, 0.2, 0.2};
  const Box notFinite{std::nan(""), 0.1, 0.2, 0.2};
  const RGBImage tooFewPixels{2, 2, {1, 2, 3}};
  const GrayPatch tooFewGray{10, 10, Bytes(ByteVector(99))};
  const std::pair<std::string, std::function<void()>> cases[] = {
      {"预览无法读取文件", [&] { preview(dir / "missing.jpg", out); }},
      {"预览无法读取文件", [&] { preview(dir / "png.jpg", out); }},
      {"预览无法创建输出", [&] { preview(in, noFolder); }},
      {"预览写入失败", [&] { writePreviewJPEG(tooFewPixels, out); }},
      {"Invalid grayscale focus region", [&] { focusPreview(in, out, outside, 1); }},
      {"无法生成主体预览", [&] { focusPreview(in, out, notFinite, 1); }},
      {"无法生成主体预览", [&] { focusPreview(in, noFolder, box, 1); }},
      {"无法生成主体预览", [&] { writeFocusJPEG(tooFewGray, out, 1); }},
  };
  for (const auto& [message, action] : cases) {
    EXPECT_EQ(errorOf(action), message);
    EXPECT_FALSE(fs::exists(out)) << message;
  }
  EXPECT_THROW(focusPreview(dir / "missing.jpg", out, box, 1), std::system_error);
  // A file already there is never replaced.
  writeBytes(out, kPNGStart);
  EXPECT_EQ(errorOf([&] { preview(in, out); }), "预览无法创建输出");
  EXPECT_EQ(errorOf([&] { focusPreview(in, out, box, 1); }), "无法生成主体预览");
  EXPECT_EQ(readBytes(out), kPNGStart);
}

TEST(Preview, WriteFailureLeavesNoFile) {
  const testing::TempDir dir;
  RGBImage image{400, 300, std::vector<std::uint8_t>(400 * 300 * 3)};
  for (std::size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = std::uint8_t(i * 7919);
  // A file size limit makes write() fail with EFBIG once it is reached.
  const auto writeWithLimit = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = errorOf([&] { writePreviewJPEG(image, dir / "big.jpg"); });
    std::exit(error == "预览写入失败" && fs::is_empty(dir.path()) ? 0 : 1);
  };
  EXPECT_EXIT(writeWithLimit(), ::testing::ExitedWithCode(0), "");
}

TEST(FocusPreview, WritesTheStoredGridTaggedWithTheOrientation) {
  const testing::TempDir dir;
  // Stored 400 × 600, shown upright as 600 × 400 under orientation 6.
  const ByteVector jpeg = makeJPEG({.width = 400,
                                    .height = 600,
                                    .writeJFIF = false,
                                    .markers = {{0xE1, makeExif({.ifd0 = {{0x0112, 3, 1, 6}}})}}});
  writeBytes(dir / "in.jpg", jpeg);
  focusPreview(dir / "in.jpg", dir / "focus.jpg", Box{0.25, 0.5, 0.5, 0.25}, 6);

  // Upright x 150…450, y 200…300 is stored x 200…300, y 150…450.
  const GrayPatch expected = JPEGEngine().grayscaleROI(jpeg, PixelRect{200, 150, 100, 300});
  const ByteVector written = readBytes(dir / "focus.jpg");
  EXPECT_EQ(exif::orientation(written), 6);
  EXPECT_EQ(segment(written, 0xDB), tablesOf(kFocusPreviewQuality, kSamplingByCode[3]));
  const Decoded d = decode(written, DecodeAs::rgb);
  EXPECT_EQ(d.components, 1);
  ASSERT_EQ(d.width, expected.width);
  ASSERT_EQ(d.height, expected.height);
  double error = 0;
  for (std::size_t i = 0; i < d.pixels.size(); ++i) {
    error += std::abs(d.pixels[i] - expected.pixels.data()[i]);
  }
  EXPECT_LT(error / static_cast<double>(d.pixels.size()), 3.0);
}

}  // namespace
}  // namespace kestrel
