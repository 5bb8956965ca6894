// SPDX-License-Identifier: MIT
// The mc_jpeg codec layer on JPEGs generated here: header classification,
// lossless crop (pixels, markers, byte identity with jpegtran, refusals)
// and grayscale region decoding (geometry, bit identity, refusals).
#include "core/jpeg/mc_jpeg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

struct ContextDeleter {
  void operator()(mc_jpeg_context* c) const { mc_jpeg_destroy(c); }
};
using Context = std::unique_ptr<mc_jpeg_context, ContextDeleter>;

Context makeContext() {
  Context context(mc_jpeg_create());
  if (!context) throw std::runtime_error("mc_jpeg_create failed");
  return context;
}

struct HeaderResult {
  int rc;
  mc_jpeg_header_info info;
  std::string message;
};

HeaderResult readHeader(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg) {
  HeaderResult r{};
  char message[512] = {};
  r.rc = mc_jpeg_header(context, jpeg.data(), jpeg.size(), &r.info, message, sizeof message);
  r.message = message;
  return r;
}

struct CropResult {
  int rc;
  ByteVector jpeg;
  std::string message;
};

CropResult crop(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg, int x, int y, int w,
                int h) {
  CropResult r{};
  char message[512] = {};
  std::uint8_t* out = reinterpret_cast<std::uint8_t*>(1);  // must be reset by the call
  std::size_t size = 99;
  r.rc = mc_jpeg_crop(context, jpeg.data(), jpeg.size(), x, y, w, h, &out, &size, message,
                      sizeof message);
  r.message = message;
  if (r.rc == 0) {
    r.jpeg.assign(out, out + size);
    mc_jpeg_free(out);
  } else {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, 0u);
  }
  return r;
}

struct GrayResult {
  int rc;
  int width, height;
  ByteVector pixels;
  std::string message;
};

GrayResult grayROI(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg, int x, int y,
                   int w, int h, int d) {
  GrayResult r{};
  char message[512] = {};
  std::uint8_t* pixels = reinterpret_cast<std::uint8_t*>(1);
  r.width = r.height = -1;
  r.rc = mc_jpeg_gray_roi(context, jpeg.data(), jpeg.size(), x, y, w, h, d, &pixels, &r.width,
                          &r.height, message, sizeof message);
  r.message = message;
  if (r.rc == 0) {
    r.pixels.assign(pixels, pixels + static_cast<std::size_t>(r.width) * r.height);
    mc_jpeg_free(pixels);
  } else {
    EXPECT_EQ(pixels, nullptr);
    EXPECT_EQ(r.width, 0);
    EXPECT_EQ(r.height, 0);
  }
  return r;
}

SyntheticSpec specFor(int code, int width = 203, int height = 157) {
  SyntheticSpec spec;
  spec.width = width;
  spec.height = height;
  spec.factors = factorsFor(code);
  return spec;
}

// Sets the frame size in the SOF of a baseline/progressive JPEG.
ByteVector withFrameSize(ByteVector jpeg, int width, int height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      return jpeg;
    }
  }
  throw std::runtime_error("no SOF");
}

const ByteVector kPNGSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13,
                                  'I',  'H', 'D', 'R', 0,    0,    1,    0,    0, 0, 1, 0};

// ---------------------------------------------------------------- header

struct SamplingCase {
  const char* name;
  std::vector<Factors> factors;
  bool progressive;
  int restartRows;
  int code, mcuWidth, mcuHeight;
};

void PrintTo(const SamplingCase& c, std::ostream* os) { *os << c.name; }

class HeaderSampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(HeaderSampling, ReportsCodeAndMCU) {
  const SamplingCase& c = GetParam();
  SyntheticSpec spec;
  spec.width = 75;
  spec.height = 53;
  spec.factors = c.factors;
  spec.progressive = c.progressive;
  spec.restartRows = c.restartRows;
  const Context context = makeContext();
  const HeaderResult r = readHeader(context.get(), makeJPEG(spec));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.info.width, 75);
  EXPECT_EQ(r.info.height, 53);
  EXPECT_EQ(r.info.subsampling, c.code);
  EXPECT_EQ(r.info.mcuWidth, c.mcuWidth);
  EXPECT_EQ(r.info.mcuHeight, c.mcuHeight);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, HeaderSampling,
    ::testing::Values(SamplingCase{"s444", factorsFor(0), false, 0, 0, 8, 8},
                      SamplingCase{"s422", factorsFor(1), false, 0, 1, 16, 8},
                      SamplingCase{"s420", factorsFor(2), false, 0, 2, 16, 16},
                      SamplingCase{"gray", factorsFor(3), false, 0, 3, 8, 8},
                      SamplingCase{"s440", factorsFor(4), false, 0, 4, 8, 16},
                      SamplingCase{"s411", factorsFor(5), false, 0, 5, 32, 8},
                      SamplingCase{"s441", factorsFor(6), false, 0, 6, 8, 32},
                      SamplingCase{"progressive420", factorsFor(2), true, 0, 2, 16, 16},
                      SamplingCase{"restart420", factorsFor(2), false, 1, 2, 16, 16},
                      // Full-resolution chroma declared as 2×1 everywhere: 4:4:4 by
                      // ratio, but the interleaved MCU really is 16 × 8.
                      SamplingCase{"s444wide", {{2, 1}, {2, 1}, {2, 1}}, false, 0, 0, 16, 8},
                      // A gray image declaring 2×2 is still an 8 × 8 block grid.
                      SamplingCase{"gray2x2", {{2, 2}}, false, 0, 3, 8, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(McJpegHeader, RefusesSamplingOutsideTheSevenCodes) {
  const Context context = makeContext();
  for (const auto& factors :
       std::vector<std::vector<Factors>>{{{4, 2}, {1, 1}, {1, 1}},     // 4:1:0
                                         {{2, 2}, {1, 1}, {2, 1}},     // chroma planes differ
                                         {{3, 1}, {1, 1}, {1, 1}}}) {  // no whole ratio code
    SyntheticSpec spec;
    spec.factors = factors;
    const HeaderResult r = readHeader(context.get(), makeJPEG(spec));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, "Unsupported JPEG chroma subsampling");
  }
}

TEST(McJpegHeader, FailsWithTheDecoderText) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(2));
  struct Case {
    const char* name;
    ByteVector data;
    std::string message;
  };
  const Case cases[] = {
      {"png", kPNGSignature, "Not a JPEG file: starts with 0x89 0x50"},
      // Cut inside the quantization tables: warnings stop the operation.
      {"truncated header", ByteVector(jpeg.begin(), jpeg.begin() + 60),
       "Premature end of JPEG file"},
      {"soi only", ByteVector{0xFF, 0xD8}, "Premature end of JPEG file"},
  };
  for (const Case& c : cases) {
    const HeaderResult r = readHeader(context.get(), c.data);
    EXPECT_EQ(r.rc, -1) << c.name;
    EXPECT_EQ(r.message, c.message) << c.name;
  }
  EXPECT_EQ(readHeader(context.get(), {}).message, "mc_jpeg_header(): Invalid argument");
  EXPECT_EQ(readHeader(nullptr, jpeg).message, "JPEG context allocation failed");
  // The context stays usable after failures.
  EXPECT_EQ(readHeader(context.get(), jpeg).rc, 0);
}

TEST(McJpegHeader, MessageIsTruncatedToTheBuffer) {
  const Context context = makeContext();
  mc_jpeg_header_info info{};
  char message[8];
  std::memset(message, 'x', sizeof message);
  EXPECT_EQ(
      mc_jpeg_header(context.get(), kPNGSignature.data(), kPNGSignature.size(), &info, message, 5),
      -1);
  EXPECT_STREQ(message, "Not ");
  std::memset(message, 'x', sizeof message);
  mc_jpeg_header(context.get(), kPNGSignature.data(), kPNGSignature.size(), &info, message, 0);
  EXPECT_EQ(message[0], 'x');  // size 0: nothing written
}

TEST(McJpegHeader, ReportsAZeroSizedFrameForTheCallerToReject) {
  const Context context = makeContext();
  const HeaderResult r = readHeader(context.get(), withFrameSize(makeJPEG(specFor(2)), 203, 0));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.info.width, 203);
  EXPECT_EQ(r.info.height, 0);
  EXPECT_EQ(r.info.subsampling, 2);
}

// ------------------------------------------------------------------ crop

struct CropCase {
  const char* name;
  int code;
  bool progressive;
  int restartRows;
};

void PrintTo(const CropCase& c, std::ostream* os) { *os << c.name; }

class CropPerSampling : public ::testing::TestWithParam<CropCase> {};

// The crop holds exactly the blocks of the region: decoding it gives the
// same pixels as the same rectangle of the decoded original.
TEST_P(CropPerSampling, PixelsEqualTheRectangleOfTheOriginal) {
  const CropCase& c = GetParam();
  SyntheticSpec spec = specFor(c.code);
  spec.progressive = c.progressive;
  spec.restartRows = c.restartRows;
  const ByteVector original = makeJPEG(spec);
  const Context context = makeContext();
  const HeaderResult h = readHeader(context.get(), original);
  ASSERT_EQ(h.rc, 0);
  const int x = h.info.mcuWidth * 2, y = h.info.mcuHeight, w = 101, hgt = 77;
  const CropResult r = crop(context.get(), original, x, y, w, hgt);
  ASSERT_EQ(r.rc, 0) << r.message;

  const HeaderResult out = readHeader(context.get(), r.jpeg);
  ASSERT_EQ(out.rc, 0);
  EXPECT_EQ(out.info.width, w);
  EXPECT_EQ(out.info.height, hgt);
  EXPECT_EQ(out.info.subsampling, c.code);

  const Decoded full = decode(original, DecodeAs::ycc);
  const Decoded part = decode(r.jpeg, DecodeAs::ycc);
  ASSERT_EQ(part.width, w);
  ASSERT_EQ(part.height, hgt);
  int mismatches = 0;
  for (int yy = 0; yy < hgt; ++yy) {
    mismatches += std::memcmp(part.at(0, yy), full.at(x, y + yy),
                              static_cast<std::size_t>(w) * full.components) != 0;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_P(CropPerSampling, IsByteIdenticalToJpegtran) {
  if (!haveTool("jpegtran")) GTEST_SKIP() << "jpegtran is not installed";
  const CropCase& c = GetParam();
  SyntheticSpec spec = specFor(c.code);
  spec.progressive = c.progressive;
  spec.restartRows = c.restartRows;
  // Exif first and no JFIF, as cameras write; plus markers of other kinds.
  spec.writeJFIF = false;
  spec.markers = {{0xE1, makeExif({.littleEndian = false,
                                   .ifd0 = {{0x0112, 3, 1, 1}},
                                   .exifIFD = {{0xA002, 3, 1, 203}, {0xA003, 4, 1, 157}}})
                             .payload},
                  {0xE2, ByteVector(300, 7)},
                  {0xFE, ByteVector{'h', 'i'}}};
  const ByteVector original = makeJPEG(spec);
  const Context context = makeContext();
  const HeaderResult h = readHeader(context.get(), original);
  ASSERT_EQ(h.rc, 0);
  const int x = h.info.mcuWidth, y = h.info.mcuHeight * 2;
  const CropResult r = crop(context.get(), original, x, y, 150, 90);
  ASSERT_EQ(r.rc, 0) << r.message;

  const testing::TempDir dir;
  writeBytes(dir / "in.jpg", original);
  const auto theirs = run("jpegtran -crop 150x90+" + std::to_string(x) + "+" + std::to_string(y) +
                          " -copy all " + quote(dir / "in.jpg"));
  ASSERT_TRUE(theirs.has_value());
  EXPECT_TRUE(r.jpeg == ByteVector(theirs->begin(), theirs->end()));
}

INSTANTIATE_TEST_SUITE_P(
    Samplings, CropPerSampling,
    ::testing::Values(CropCase{"s444", 0, false, 0}, CropCase{"s422", 1, false, 0},
                      CropCase{"s420", 2, false, 0}, CropCase{"gray", 3, false, 0},
                      CropCase{"s440", 4, false, 0}, CropCase{"s411", 5, false, 0},
                      CropCase{"s441", 6, false, 0}, CropCase{"progressive", 2, true, 0},
                      CropCase{"restart", 2, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A gray image may declare 2×2 sampling; its blocks still form an 8 × 8
// grid, so an origin on any multiple of 8 is a lossless crop, written as
// 1×1 like jpegtran writes it.
TEST(McJpegCrop, GrayDeclaring2x2CropsOnTheBlockGrid) {
  SyntheticSpec spec = specFor(3);
  spec.factors = {{2, 2}};
  const ByteVector original = makeJPEG(spec);
  const Context context = makeContext();
  const CropResult r = crop(context.get(), original, 8, 24, 101, 77);
  ASSERT_EQ(r.rc, 0) << r.message;
  const Decoded full = decode(original, DecodeAs::gray);
  const Decoded part = decode(r.jpeg, DecodeAs::gray);
  ASSERT_EQ(part.width, 101);
  ASSERT_EQ(part.height, 77);
  for (int y = 0; y < part.height; ++y) {
    ASSERT_EQ(std::memcmp(part.at(0, y), full.at(8, 24 + y), 101), 0) << "row " << y;
  }
  if (haveTool("jpegtran")) {
    const testing::TempDir dir;
    writeBytes(dir / "in.jpg", original);
    const auto theirs = run("jpegtran -crop 101x77+8+24 -copy all " + quote(dir / "in.jpg"));
    ASSERT_TRUE(theirs.has_value());
    EXPECT_TRUE(r.jpeg == ByteVector(theirs->begin(), theirs->end()));
  }
}

TEST(McJpegCrop, CopiesEveryMarkerAndWritesItsOwnJFIF) {
  SyntheticSpec spec = specFor(2);
  spec.markers = {{0xE1, ByteVector{'h', 't', 't', 'p', 0, 'x'}},  // XMP-like APP1
                  {0xE2, ByteVector(70000 / 2, 3)},
                  {0xED, ByteVector{'P', 'h', 'o', 't', 'o'}},
                  {0xFE, ByteVector{'c', 'o', 'm', 'm', 'e', 'n', 't'}}};
  const ByteVector original = makeJPEG(spec);
  const Context context = makeContext();
  const CropResult r = crop(context.get(), original, 16, 16, 64, 64);
  ASSERT_EQ(r.rc, 0) << r.message;
  const std::vector<Marker> in = markersOf(original);
  const std::vector<Marker> out = markersOf(r.jpeg);
  const auto appsAndComments = [](const std::vector<Marker>& markers) {
    std::vector<std::pair<int, ByteVector>> kept;
    for (const Marker& m : markers) {
      if ((m.code >= 0xE0 && m.code <= 0xEF) || m.code == 0xFE)
        kept.emplace_back(m.code, m.payload);
    }
    return kept;
  };
  // The source's JFIF APP0 is replaced by the compressor's own, which is the same here.
  EXPECT_EQ(appsAndComments(out), appsAndComments(in));
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const Marker& m) { return m.code == 0xE0; }),
            1);
}

TEST(McJpegCrop, RewritesPixelDimensionsOfALeadingExifLikeJpegtran) {
  SyntheticSpec spec = specFor(2);
  spec.writeJFIF = false;
  const TiffLayout exif = makeExif({.littleEndian = true,
                                    .ifd0 = {{0x0100, 3, 1, 203}},
                                    .exifIFD = {{0xA002, 3, 1, 203}, {0xA003, 3, 1, 157}}});
  spec.markers = {{0xE1, exif.payload}};
  const Context context = makeContext();
  const CropResult r = crop(context.get(), makeJPEG(spec), 0, 0, 48, 32);
  ASSERT_EQ(r.rc, 0);
  const std::vector<Marker> out = markersOf(r.jpeg);
  ASSERT_EQ(out.front().code, 0xE1);  // no JFIF APP0 in front of it
  const std::span<const std::uint8_t> tiff(out.front().payload.data() + 6,
                                           out.front().payload.size() - 6);
  const std::size_t x = exif.exifIFD + 2, y = exif.exifIFD + 14;
  EXPECT_EQ(tiffValue(tiff, x + 2, 2, true), 4u);  // now LONG
  EXPECT_EQ(tiffValue(tiff, x + 8, 4, true), 48u);
  EXPECT_EQ(tiffValue(tiff, y + 8, 4, true), 32u);
  // IFD0's ImageWidth is left for mc_jpeg_repair_exif.
  EXPECT_EQ(tiffValue(tiff, exif.ifd0 + 2 + 8, 2, true), 203u);
}

TEST(McJpegCrop, RefusesAnUnalignedOrigin) {
  const Context context = makeContext();
  struct Case {
    int code, x, y;
    std::string message;
  };
  const std::string prefix = "mc_jpeg_crop(): To crop this JPEG image, x must be a multiple of ";
  const Case cases[] = {
      {2, 8, 0, prefix + "16\nand y must be a multiple of 16."},
      {2, 16, 8, prefix + "16\nand y must be a multiple of 16."},
      {5, 16, 0, prefix + "32\nand y must be a multiple of 8."},
      {6, 0, 16, prefix + "8\nand y must be a multiple of 32."},
      {4, 0, 8, prefix + "8\nand y must be a multiple of 16."},
  };
  for (const Case& c : cases) {
    const CropResult r = crop(context.get(), makeJPEG(specFor(c.code)), c.x, c.y, 32, 32);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, c.message) << "code " << c.code;
  }
}

TEST(McJpegCrop, AlignedOriginGivesExactlyTheRequestedSize) {
  const Context context = makeContext();
  const CropResult r = crop(context.get(), makeJPEG(specFor(2)), 16, 32, 99, 61);
  ASSERT_EQ(r.rc, 0) << r.message;
  const HeaderResult h = readHeader(context.get(), r.jpeg);
  EXPECT_EQ(h.info.width, 99);
  EXPECT_EQ(h.info.height, 61);
}

TEST(McJpegCrop, RefusesARegionOutsideTheImage) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(0, 64, 48));
  const int regions[][4] = {{0, 0, 65, 48}, {8, 0, 57, 48}, {0, 8, 64, 41}, {-8, 0, 8, 8},
                            {0, -8, 8, 8},  {0, 0, 0, 8},   {0, 0, 8, 0}};
  for (const auto& g : regions) {
    const CropResult r = crop(context.get(), jpeg, g[0], g[1], g[2], g[3]);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.message.starts_with("mc_jpeg_crop(): The crop region")) << r.message;
  }
  EXPECT_EQ(crop(context.get(), jpeg, 0, 0, 64, 48).rc, 0);  // the whole image is inside
}

TEST(McJpegCrop, StopsOnTruncatedOrOversizedData) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(2, 320, 240));
  const ByteVector truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10));
  CropResult r = crop(context.get(), truncated, 0, 0, 64, 64);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "Premature end of JPEG file");
  // 20000 × 20000 pixels of coefficients do not fit in 256 MB.
  r = crop(context.get(), withFrameSize(jpeg, 20000, 20000), 0, 0, 64, 64);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "Backing store not supported");
  r = crop(context.get(), kPNGSignature, 0, 0, 8, 8);
  EXPECT_EQ(r.message, "Not a JPEG file: starts with 0x89 0x50");
  r = crop(nullptr, jpeg, 0, 0, 8, 8);
  EXPECT_EQ(r.message, "JPEG context allocation failed");
  EXPECT_EQ(crop(context.get(), jpeg, 0, 0, 64, 64).rc, 0);  // still usable
}

// ------------------------------------------------------------ gray region

struct RegionCase {
  const char* name;
  int code, x, y, w, h, d;
  int width, height;  // expected patch size
  int left, top;      // expected scaled origin
};

void PrintTo(const RegionCase& c, std::ostream* os) { *os << c.name; }

class GrayRegion : public ::testing::TestWithParam<RegionCase> {};

TEST_P(GrayRegion, CoversTheRegionFromAScaledMCUColumn) {
  const RegionCase& c = GetParam();
  const ByteVector jpeg = makeJPEG(specFor(c.code, 300, 200));
  const Context context = makeContext();
  const GrayResult r = grayROI(context.get(), jpeg, c.x, c.y, c.w, c.h, c.d);
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.width, c.width);
  EXPECT_EQ(r.height, c.height);
  const Decoded full = decode(jpeg, DecodeAs::gray, c.d);
  for (int y = 0; y < r.height; ++y) {
    ASSERT_EQ(std::memcmp(r.pixels.data() + static_cast<std::size_t>(y) * r.width,
                          full.at(c.left, c.top + y), static_cast<std::size_t>(r.width)),
              0)
        << "row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, GrayRegion,
    ::testing::Values(
        // 4:2:0 at 1/2: m = 8, left = (50 / 8) * 8 = 48, right = ceil(150 / 2) = 75.
        RegionCase{"half420", 2, 100, 30, 50, 40, 2, 27, 20, 48, 15},
        RegionCase{"full420", 2, 100, 30, 50, 40, 1, 54, 40, 96, 30},
        RegionCase{"half444", 0, 13, 7, 20, 9, 2, 13, 5, 4, 3},
        RegionCase{"half411", 5, 70, 1, 40, 3, 2, 23, 2, 32, 0},
        RegionCase{"wholeImage", 2, 0, 0, 300, 200, 2, 150, 100, 0, 0},
        RegionCase{"bottomRight", 1, 299, 199, 1, 1, 1, 12, 1, 288, 199}),
    [](const auto& info) { return std::string(info.param.name); });

// Seeded random regions on every layout, baseline and progressive, both
// scales: each patch is bit-identical to the same rectangle of a full
// grayscale decode at that scale.
TEST(McJpegGrayROI, RandomRegionsMatchAFullDecode) {
  const Context context = makeContext();
  std::mt19937 random(20240605);
  for (int code = 0; code <= 6; ++code) {
    for (const bool progressive : {false, true}) {
      SyntheticSpec spec = specFor(code, 517, 389);
      spec.progressive = progressive;
      spec.restartRows = progressive ? 0 : 2;
      const ByteVector jpeg = makeJPEG(spec);
      const int mcu = readHeader(context.get(), jpeg).info.mcuWidth;
      for (const int d : {1, 2}) {
        const Decoded full = decode(jpeg, DecodeAs::gray, d);
        const int m = (mcu + d - 1) / d;
        for (int i = 0; i < 12; ++i) {
          const int x = static_cast<int>(random() % 517), y = static_cast<int>(random() % 389);
          const int w = 1 + static_cast<int>(random() % static_cast<unsigned>(517 - x));
          const int h = 1 + static_cast<int>(random() % static_cast<unsigned>(389 - y));
          const GrayResult r = grayROI(context.get(), jpeg, x, y, w, h, d);
          ASSERT_EQ(r.rc, 0) << r.message;
          const int left = (x / d) / m * m, top = y / d;
          ASSERT_EQ(r.width, (x + w + d - 1) / d - left);
          ASSERT_EQ(r.height, (y + h + d - 1) / d - top);
          for (int row = 0; row < r.height; ++row) {
            ASSERT_EQ(std::memcmp(r.pixels.data() + static_cast<std::size_t>(row) * r.width,
                                  full.at(left, top + row), static_cast<std::size_t>(r.width)),
                      0)
                << "code " << code << " d " << d << " region " << x << "," << y << " " << w << "x"
                << h;
          }
        }
      }
    }
  }
}

TEST(McJpegGrayROI, RefusesRegionsOutsideTheImage) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(2, 300, 200));
  const int regions[][4] = {{0, 0, 0, 10},    {0, 0, 10, 0},   {0, 0, 301, 10}, {290, 0, 11, 10},
                            {0, 190, 10, 11}, {-1, 0, 10, 10}, {0, -1, 10, 10}};
  for (const auto& g : regions) {
    const GrayResult r = grayROI(context.get(), jpeg, g[0], g[1], g[2], g[3], 1);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, "Invalid grayscale focus region");
  }
}

TEST(McJpegGrayROI, CapsThePatchAt4096ScaledPixels) {
  const Context context = makeContext();
  SyntheticSpec spec = specFor(3, 9008, 104);
  spec.quality = 30;
  const ByteVector wide = makeJPEG(spec);
  // 9000 × 100 at 1/2 is 4500 scaled columns.
  EXPECT_EQ(grayROI(context.get(), wide, 0, 0, 9000, 100, 2).rc, -1);
  EXPECT_EQ(grayROI(context.get(), wide, 0, 0, 8192, 100, 2).rc, 0);   // 4096 columns
  EXPECT_EQ(grayROI(context.get(), wide, 0, 0, 8193, 100, 2).rc, -1);  // 4097
  EXPECT_EQ(grayROI(context.get(), wide, 0, 0, 4096, 100, 1).rc, 0);
  EXPECT_EQ(grayROI(context.get(), wide, 0, 0, 4097, 100, 1).rc, -1);
}

TEST(McJpegGrayROI, FailsWithoutMessageForBadScaleOrContext) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(2));
  for (const int d : {0, 3, 4, -2}) {
    const GrayResult r = grayROI(context.get(), jpeg, 0, 0, 8, 8, d);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, "");
  }
  EXPECT_EQ(grayROI(nullptr, jpeg, 0, 0, 8, 8, 1).message, "");
}

TEST(McJpegGrayROI, StopsOnTruncatedData) {
  const Context context = makeContext();
  const ByteVector jpeg = makeJPEG(specFor(2, 320, 240));
  const ByteVector truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  const GrayResult r = grayROI(context.get(), truncated, 0, 200, 64, 32, 1);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "Premature end of JPEG file");
  EXPECT_EQ(grayROI(context.get(), jpeg, 0, 200, 64, 32, 1).rc, 0);
}

}  // namespace
}  // namespace kestrel
