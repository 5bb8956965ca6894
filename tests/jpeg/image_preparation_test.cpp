// SPDX-License-Identifier: MIT
// ImagePreparation on generated JPEGs: source validation, orientation,
// thumbnail size, averaging, upright transform and colour spaces.
#include "core/jpeg/image_preparation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "core/batch/crop_error.h"
#include "tests/jpeg/jpeg_test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

Bytes bytesOf(const ByteVector& v) { return Bytes(v); }

SyntheticSpec withOrientation(SyntheticSpec spec, int orientation) {
  spec.writeJFIF = false;
  spec.markers.insert(
      spec.markers.begin(),
      {0xE1,
       makeExif({.ifd0 = {{0x0112, 3, 1, static_cast<std::uint32_t>(orientation)}}}).payload});
  return spec;
}

TEST(ImagePreparationSource, RefusesWhatIsNotAReadableJPEG) {
  const ByteVector jpeg = makeJPEG({});
  const ByteVector cases[] = {
      {},
      {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0},
      {'h', 'e', 'l', 'l', 'o'},
      ByteVector(jpeg.begin(), jpeg.begin() + 50),  // header cut short
  };
  for (const ByteVector& data : cases) {
    EXPECT_EQ(errorOf([&] { ImagePreparation::source(bytesOf(data)); }), "无法读取 JPEG 图像");
  }
  const ImageSource source = ImagePreparation::source(bytesOf(jpeg));
  EXPECT_EQ(source.storedWidth, 96);
  EXPECT_EQ(source.storedHeight, 64);
}

TEST(ImagePreparationOrientation, IsOneWhenAbsent) {
  EXPECT_EQ(ImagePreparation::orientation(ImagePreparation::source(bytesOf(makeJPEG({})))), 1);
  for (const int o : {1, 3, 6, 8, 9}) {
    const auto source = ImagePreparation::source(bytesOf(makeJPEG(withOrientation({}, o))));
    EXPECT_EQ(ImagePreparation::orientation(source), o);
  }
}

TEST(ImagePreparationThumbnail, KeepsAspectWithExactLongEdgeAndNeverEnlarges) {
  struct Case {
    int width, height;
    std::int64_t longEdge;
    int expectWidth, expectHeight;
  };
  const Case cases[] = {
      {600, 400, 102, 102, 68},                               // DCT 1/4 then averaging
      {400, 600, 102, 68, 102},   {600, 400, 150, 150, 100},  // exactly 1/4: no averaging
      {600, 401, 300, 300, 201},                              // 200.5 rounds up
      {300, 200, 1024, 300, 200}, {333, 333, 100, 100, 100},
      {1000, 8, 100, 100, 1},  // the shorter side never drops below 1
      {8, 1000, 100, 1, 100},     {600, 400, 599, 599, 399},
  };
  for (const Case& c : cases) {
    SyntheticSpec spec;
    spec.width = c.width;
    spec.height = c.height;
    const RGBImage image =
        ImagePreparation::thumbnail(ImagePreparation::source(bytesOf(makeJPEG(spec))), c.longEdge);
    EXPECT_EQ(image.width, c.expectWidth) << c.width << "x" << c.height << " → " << c.longEdge;
    EXPECT_EQ(image.height, c.expectHeight) << c.width << "x" << c.height << " → " << c.longEdge;
    EXPECT_TRUE(image.valid());
  }
  const auto source = ImagePreparation::source(bytesOf(makeJPEG({})));
  EXPECT_EQ(errorOf([&] { ImagePreparation::thumbnail(source, 0); }), "无法生成分析小图");
}

// The thumbnail is the exact area average of the decode at the smallest
// DCT scale that covers it (checked against a double-precision average),
// and close to the area average of the full-resolution picture.
TEST(ImagePreparationThumbnail, IsTheAreaAverageOfTheDecodedPicture) {
  SyntheticSpec spec;
  spec.width = 640;
  spec.height = 480;
  spec.factors = {{1, 1}, {1, 1}, {1, 1}};
  spec.quality = 95;
  const ByteVector jpeg = makeJPEG(spec);
  const auto meanError = [](const Decoded& source, const RGBImage& thumb, double* maxError) {
    const double sx = static_cast<double>(source.width) / thumb.width;
    const double sy = static_cast<double>(source.height) / thumb.height;
    double total = 0;
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
          const double e =
              std::abs(sum[c] / weight -
                       thumb.pixels[(static_cast<std::size_t>(y) * thumb.width + x) * 3 + c]);
          total += e;
          *maxError = std::max(*maxError, e);
        }
      }
    }
    return total / (thumb.width * thumb.height * 3.0);
  };
  const Decoded full = decode(jpeg, DecodeAs::rgb);
  struct Case {
    std::int64_t longEdge;
    int denominator;  // smallest DCT scale still covering the target
  };
  for (const Case c : {Case{100, 4}, Case{160, 4}, Case{213, 2}, Case{320, 2}, Case{500, 1}}) {
    const RGBImage thumb =
        ImagePreparation::thumbnail(ImagePreparation::source(bytesOf(jpeg)), c.longEdge);
    Decoded scaled = decode(jpeg, DecodeAs::rgb, c.denominator);
    double maxError = 0;
    EXPECT_LT(meanError(scaled, thumb, &maxError), 0.3) << "long edge " << c.longEdge;
    EXPECT_LE(maxError, 0.5 + 1e-9) << "long edge " << c.longEdge;
    maxError = 0;
    EXPECT_LT(meanError(full, thumb, &maxError), 5.0) << "long edge " << c.longEdge;
  }
}

TEST(ImagePreparationThumbnail, GrayAndCMYKComeOutAsRGB) {
  SyntheticSpec gray;
  gray.factors = {{1, 1}};
  const RGBImage g =
      ImagePreparation::thumbnail(ImagePreparation::source(bytesOf(makeJPEG(gray))), 48);
  ASSERT_TRUE(g.valid());
  for (std::size_t i = 0; i < g.pixels.size(); i += 3) {
    ASSERT_EQ(g.pixels[i], g.pixels[i + 1]);
    ASSERT_EQ(g.pixels[i], g.pixels[i + 2]);
  }
  // Adobe CMYK stores inverted ink: pure red is C=0 M=255 Y=255 K=0, stored
  // as 255, 0, 0, 255.
  SyntheticSpec cmyk;
  cmyk.cmyk = true;
  cmyk.factors = {{1, 1}, {1, 1}, {1, 1}, {1, 1}};
  cmyk.width = 16;
  cmyk.height = 16;
  cmyk.quality = 100;
  ByteVector ink(16 * 16 * 4);
  for (std::size_t i = 0; i < ink.size(); i += 4) {
    ink[i] = 255;
    ink[i + 1] = 0;
    ink[i + 2] = 0;
    ink[i + 3] = 255;
  }
  const RGBImage red = ImagePreparation::thumbnail(
      ImagePreparation::source(bytesOf(makeJPEGFromPixels(cmyk, ink))), 16);
  ASSERT_TRUE(red.valid());
  EXPECT_NEAR(red.pixels[0], 255, 2);
  EXPECT_NEAR(red.pixels[1], 0, 2);
  EXPECT_NEAR(red.pixels[2], 0, 2);
}

TEST(ImagePreparationThumbnail, DecodesTruncatedDataAsFarAsItGoes) {
  SyntheticSpec spec;
  spec.width = 320;
  spec.height = 240;
  const ByteVector jpeg = makeJPEG(spec);
  const ByteVector truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  const RGBImage image =
      ImagePreparation::thumbnail(ImagePreparation::source(bytesOf(truncated)), 160);
  EXPECT_EQ(image.width, 160);
  EXPECT_EQ(image.height, 120);
}

}  // namespace
}  // namespace kestrel
