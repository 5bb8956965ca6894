// SPDX-License-Identifier: MIT
// JPEGEngine on generated JPEGs: the size rule, crop with EXIF repair,
// the grayscale scale rule and buffer ownership.
#include "core/jpeg/jpeg_engine.h"

#include <gtest/gtest.h>

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

ByteVector withFrameSize(ByteVector jpeg, int width, int height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      return jpeg;
    }
  }
  throw std::runtime_error("no SOF");
}

constexpr const char* kSizeMessage = "图片尺寸无效或超过原型的 1.4 亿像素限制";

TEST(JPEGEngineHeader, AppliesThePixelLimit) {
  // header() reads only the header, so a small JPEG with an edited SOF stands
  // in for a huge one.
  const ByteVector small = makeJPEG({});
  struct Case {
    int width, height;
    bool passes;
  };
  const Case cases[] = {
      {12000, 11666, true},   // 139 992 000 pixels
      {12000, 11667, false},  // 140 004 000
      {65500, 2137, true},    // 139 973 500
      {65500, 2138, false},  {1, 1, true}, {6000, 0, false}, {0, 4000, false},
  };
  JPEGEngine engine;
  for (const Case& c : cases) {
    const ByteVector jpeg = withFrameSize(small, c.width, c.height);
    if (c.passes) {
      EXPECT_EQ(engine.header(jpeg), (JPEGInfo{c.width, c.height, 16, 16, 2}));
    } else {
      EXPECT_EQ(errorOf([&] { engine.header(jpeg); }), kSizeMessage) << c.width << "x" << c.height;
    }
  }
}

TEST(JPEGEngineHeader, PassesTheCodecMessageOn) {
  JPEGEngine engine;
  const ByteVector png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  EXPECT_EQ(errorOf([&] { engine.header(png); }), "Not a JPEG file: starts with 0x89 0x50");
  SyntheticSpec odd;
  odd.factors = {{4, 2}, {1, 1}, {1, 1}};
  EXPECT_EQ(errorOf([&] { engine.header(makeJPEG(odd)); }), "Unsupported JPEG chroma subsampling");
  EXPECT_EQ(errorOf([&] { engine.header(Bytes{}); }), "mc_jpeg_header(): Invalid argument");
}

TEST(JPEGEngineCrop, ReturnsTheRegionWithRepairedExif) {
  for (const bool le : {true, false}) {
    SyntheticSpec spec;
    spec.width = 160;
    spec.height = 120;
    spec.writeJFIF = false;
    const TiffLayout exif = makeExif({.littleEndian = le,
                                      .ifd0 = {{0x0112, 3, 1, 1}},
                                      .exifIFD = {{0xA002, 4, 1, 160}, {0xA003, 3, 1, 120}}});
    spec.markers = {{0xE1, exif.payload}};
    JPEGEngine engine;
    const Bytes cropped = engine.crop(makeJPEG(spec), PixelRect{32, 16, 100, 70});
    EXPECT_EQ(engine.header(cropped), (JPEGInfo{100, 70, 16, 16, 2}));
    const std::vector<Marker> markers = markersOf(cropped.span());
    ASSERT_EQ(markers.front().code, 0xE1);
    const std::span<const std::uint8_t> tiff(markers.front().payload.data() + 6,
                                             markers.front().payload.size() - 6);
    EXPECT_EQ(tiffValue(tiff, exif.exifIFD + 2 + 8, 4, le), 100u);
    EXPECT_EQ(tiffValue(tiff, exif.exifIFD + 14 + 8, 4, le), 70u);
    EXPECT_EQ(tiffValue(tiff, exif.ifd0 + 2 + 2 * 12, 4, le), 0u);  // IFD1 detached
  }
}

TEST(JPEGEngineCrop, RefusalsCarryTheCodecMessage) {
  JPEGEngine engine;
  const ByteVector jpeg = makeJPEG({});
  EXPECT_EQ(errorOf([&] {
              engine.crop(jpeg, PixelRect{8, 0, 16, 16});
            }),
            "mc_jpeg_crop(): To crop this JPEG image, x must be a multiple of 16\n"
            "and y must be a multiple of 16.");
  EXPECT_TRUE(errorOf([&] {
                engine.crop(jpeg, PixelRect{0, 0, std::int64_t{1} << 32, 16});
              }).starts_with("mc_jpeg_crop(): The crop region"));
}

TEST(JPEGEngineCrop, BytesOutliveTheEngine) {
  Bytes cropped;
  {
    JPEGEngine engine;
    cropped = engine.crop(makeJPEG({}), PixelRect{0, 0, 48, 32});
  }
  EXPECT_EQ(decode(cropped.span(), DecodeAs::rgb).width, 48);
}

TEST(JPEGEngineGrayscale, UsesHalfScaleFromAShortSideOf320) {
  struct Case {
    PixelRect rect;
    int scale;
  };
  const Case cases[] = {{{0, 0, 319, 2000}, 1},
                        {{0, 0, 2000, 319}, 1},
                        {{0, 0, 320, 320}, 2},
                        {{0, 0, 320, 5000}, 2},
                        {{0, 0, 1, 1}, 1}};
  for (const Case& c : cases) EXPECT_EQ(JPEGEngine::grayscaleScale(c.rect), c.scale);

  SyntheticSpec spec;
  spec.width = 640;
  spec.height = 2048;
  spec.quality = 40;
  const ByteVector jpeg = makeJPEG(spec);
  JPEGEngine engine;
  const GrayPatch full = engine.grayscaleROI(jpeg, PixelRect{96, 8, 319, 2000});
  EXPECT_EQ(full.width, 319);
  EXPECT_EQ(full.height, 2000);
  // At 1/2: left = (100/2)/8·8 = 48, right = ceil(420/2) = 210, rows 5…165.
  const GrayPatch half = engine.grayscaleROI(jpeg, PixelRect{100, 10, 320, 320});
  EXPECT_EQ(half.width, 162);
  EXPECT_EQ(half.height, 160);
  EXPECT_EQ(half.pixels.size(), 162u * 160u);
  EXPECT_EQ(errorOf([&] {
              engine.grayscaleROI(jpeg, PixelRect{0, 0, 0, 10});
            }),
            "Invalid grayscale focus region");
  EXPECT_EQ(errorOf([&] {
              engine.grayscaleROI(jpeg, PixelRect{0, 0, 641, 10});
            }),
            "Invalid grayscale focus region");
  EXPECT_EQ(errorOf([&] {
              engine.grayscaleROI(jpeg, PixelRect{-(std::int64_t{1} << 40), 0, 1, 1});
            }),
            "Invalid grayscale focus region");
}

TEST(JPEGEngine, MovedFromEngineFailsCleanly) {
  JPEGEngine first;
  JPEGEngine second = std::move(first);
  const ByteVector jpeg = makeJPEG({});
  EXPECT_EQ(second.header(jpeg).width, 96);
  EXPECT_EQ(errorOf([&] { first.header(jpeg); }), "JPEG context allocation failed");  // NOLINT
}

}  // namespace
}  // namespace kestrel
