// SPDX-License-Identifier: MIT
// The mc_jpeg codec layer (header classification, lossless crop, grayscale
// region decoding) and JPEGEngine on top of it (size rule, scale rule,
// buffer ownership).
#include "core/jpeg/detail/mc_jpeg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "core/jpeg/jpeg_engine.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

struct Context {
  std::unique_ptr<mc_jpeg_context, decltype(&mc_jpeg_destroy)> owner{mc_jpeg_create(),
                                                                     mc_jpeg_destroy};
  mc_jpeg_context* get() const { return owner.get(); }
};

struct Result {
  int rc;
  std::string message;
  mc_jpeg_header_info info;  // of the header call
  Decoded out;               // the cropped JPEG's bytes, or the gray patch
};

Result header(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg) {
  Result r{};
  char message[512] = {};
  r.rc = mc_jpeg_header(context, jpeg.data(), jpeg.size(), &r.info, message, sizeof message);
  r.message = message;
  return r;
}

// The outputs start as garbage: a failure must reset them.
Result crop(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg, int x, int y, int w,
            int h) {
  Result r{};
  char message[512] = {};
  auto* out = reinterpret_cast<std::uint8_t*>(1);
  std::size_t size = 99;
  r.rc = mc_jpeg_crop(context, jpeg.data(), jpeg.size(), x, y, w, h, &out, &size, message,
                      sizeof message);
  r.message = message;
  EXPECT_EQ(out != nullptr, r.rc == 0);
  EXPECT_EQ(size != 0, r.rc == 0);
  if (r.rc == 0) r.out.pixels.assign(out, out + size);
  mc_jpeg_free(r.rc == 0 ? out : nullptr);
  return r;
}

Result grayROI(mc_jpeg_context* context, std::span<const std::uint8_t> jpeg, int x, int y, int w,
               int h, int d) {
  Result r{.out = {-1, -1, 1}};
  char message[512] = {};
  auto* pixels = reinterpret_cast<std::uint8_t*>(1);
  r.rc = mc_jpeg_gray_roi(context, jpeg.data(), jpeg.size(), x, y, w, h, d, &pixels, &r.out.width,
                          &r.out.height, message, sizeof message);
  r.message = message;
  EXPECT_EQ(pixels != nullptr, r.rc == 0);
  EXPECT_EQ(std::pair(r.out.width, r.out.height) == std::pair(0, 0), r.rc != 0);
  if (r.rc == 0) r.out.pixels.assign(pixels, pixels + std::size_t(r.out.width) * r.out.height);
  mc_jpeg_free(r.rc == 0 ? pixels : nullptr);
  return r;
}

std::optional<std::string> jpegtranCrop(const std::filesystem::path& file, int x, int y, int w,
                                        int h) {
  return run("jpegtran -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" +
             std::to_string(x) + "+" + std::to_string(y) + " -copy all " + quote(file));
}

std::string text(const ByteVector& bytes) { return {bytes.begin(), bytes.end()}; }

std::array<int, 5> fields(const mc_jpeg_header_info& h) {
  return {h.width, h.height, h.subsampling, h.mcuWidth, h.mcuHeight};
}

struct Layout {
  const char* name;
  Sampling factors;
  bool progressive;
  int restartRows, code, mcuWidth, mcuHeight;
};

const Layout kLayouts[] = {
    {"4:4:4", kSamplingByCode[0], false, 0, 0, 8, 8},
    {"4:2:2", kSamplingByCode[1], false, 0, 1, 16, 8},
    {"4:2:0", kSamplingByCode[2], false, 0, 2, 16, 16},
    {"gray", kSamplingByCode[3], false, 0, 3, 8, 8},
    {"4:4:0", kSamplingByCode[4], false, 0, 4, 8, 16},
    {"4:1:1", kSamplingByCode[5], false, 0, 5, 32, 8},
    {"4:4:1", kSamplingByCode[6], false, 0, 6, 8, 32},
    {"progressive 4:2:0", kSamplingByCode[2], true, 0, 2, 16, 16},
    {"restarts 4:2:0", kSamplingByCode[2], false, 1, 2, 16, 16},
    // Full-resolution chroma declared 2×1 everywhere: 4:4:4 by ratio, but
    // the interleaved MCU really is 16 × 8.
    {"4:4:4 as 2x1", {{2, 1}, {2, 1}, {2, 1}}, false, 0, 0, 16, 8},
    // One component is never interleaved: an 8 × 8 grid whatever it declares.
    {"gray as 2x2", {{2, 2}}, false, 0, 3, 8, 8},
};

ByteVector makeLayout(const Layout& layout, JPEGOptions options = {.width = 300, .height = 200}) {
  options.factors = layout.factors;
  options.progressive = layout.progressive;
  options.restartRows = layout.restartRows;
  return makeJPEG(options);
}

// Noisy images of every layout, a few hundred KB each: the crop reads them
// in many chunks, so the streamed decoder is suspended and resumed and its
// row buffers are reused. Each carries, in turn, a JFIF, a camera-style Exif
// (no JFIF) or an Exif with a lone sub-IFD entry, plus other segments; one
// has a COM segment after its scan, which goes to the front like the rest.
// The header reports code and MCU; crops at the corners, of one MCU row and
// of the whole image decode to the same rectangle of the original and are
// byte-identical to jpegtran's (markers copied, Exif pixel sizes rewritten).
TEST(McJpegCrop, EveryLayoutAndPositionMatchesTheOriginalAndJpegtran) {
  const bool jpegtran = haveTool("jpegtran");
  const testing::TempDir dir;
  const Context context;
  const ByteVector firstSegments[] = {
      {'h', 't', 't', 'p', 0},
      makeExif({.littleEndian = false,
                .ifd0 = {{0x0112, 3, 1, 1}},
                .exifIFD = {{0xA002, 3, 1, 611}, {0xA003, 4, 1, 469}}}),
      makeExif({.exifIFD = {{0xA002, 3, 1, 611}}})};
  std::mt19937 random(7);
  int style = 0;
  for (const Layout& c : kLayouts) {
    SCOPED_TRACE(c.name);
    style = (style + 1) % 3;
    const int width = 611, height = 469;
    ByteVector noise(std::size_t(width) * height * c.factors.size());
    for (std::uint8_t& v : noise) v = static_cast<std::uint8_t>(random());
    ByteVector original = makeJPEG({.width = width,
                                    .height = height,
                                    .factors = c.factors,
                                    .progressive = c.progressive,
                                    .restartRows = c.restartRows,
                                    .writeJFIF = style == 0,
                                    .markers = {{0xE1, firstSegments[style]},
                                                {0xE2, ByteVector(35000, 3)},
                                                {0xFE, ByteVector{'h', 'i'}}}},
                                   noise);
    if (&c == &kLayouts[2]) {  // a segment between the scan and EOI
      const ByteVector comment{0xFF, 0xFE, 0x00, 0x05, 'e', 'n', 'd'};
      original.insert(original.end() - 2, comment.begin(), comment.end());
    }
    EXPECT_EQ(fields(header(context.get(), original).info),
              (std::array{width, height, c.code, c.mcuWidth, c.mcuHeight}));
    writeBytes(dir / "in.jpg", original);
    const Decoded full = decode(original, DecodeAs::ycc);
    const int mw = c.mcuWidth, mh = c.mcuHeight;
    const int lastX = (width - 1) / mw * mw, lastY = (height - 1) / mh * mh;
    const std::array<int, 4> crops[] = {{mw * 2, mh, 101, 77},
                                        {lastX, lastY, width - lastX, height - lastY},
                                        {mw * 3, mh * 5, width - mw * 3, mh},
                                        {0, 0, width, height}};
    for (const auto& [x, y, w, h] : crops) {
      SCOPED_TRACE(::testing::Message() << w << "x" << h << "+" << x << "+" << y);
      const Result r = crop(context.get(), original, x, y, w, h);
      ASSERT_EQ(r.rc, 0) << r.message;
      const Decoded part = decode(r.out.pixels, DecodeAs::ycc);
      ASSERT_EQ(std::pair(part.width, part.height), std::pair(w, h));
      EXPECT_EQ(differingRows(part, full, x, y), 0);
      if (jpegtran) {
        EXPECT_TRUE(jpegtranCrop(dir / "in.jpg", x, y, w, h) == text(r.out.pixels));
      }
    }
  }
  if (!jpegtran) GTEST_SKIP() << "jpegtran is not installed: byte identity not checked";
}

TEST(McJpegHeader, FailsWithTheDecoderText) {
  const Context context;
  const ByteVector jpeg = makeJPEG({});
  const std::string unsupported = "Unsupported JPEG chroma subsampling";
  const std::pair<ByteVector, std::string> cases[] = {
      {kPNGStart, kNotAJPEG},
      // Cut inside the quantization tables: warnings stop the operation.
      {ByteVector(jpeg.begin(), jpeg.begin() + 60), "Premature end of JPEG file"},
      {ByteVector{0xFF, 0xD8}, "Premature end of JPEG file"},
      {{}, "mc_jpeg_header(): Invalid argument"},
      {makeJPEG({.factors = {{4, 2}, {1, 1}, {1, 1}}}), unsupported},  // 4:1:0
      {makeJPEG({.factors = {{2, 2}, {1, 1}, {2, 1}}}), unsupported},  // chroma planes differ
      {makeJPEG({.factors = {{3, 1}, {1, 1}, {1, 1}}}), unsupported},  // no whole ratio
  };
  for (const auto& [data, message] : cases) {
    const Result r = header(context.get(), data);
    EXPECT_EQ(r.rc, -1) << message;
    EXPECT_EQ(r.message, message);
  }
  EXPECT_EQ(header(nullptr, jpeg).message, "JPEG context allocation failed");

  // A zero height cannot be decoded; it fails apart so that the engine can
  // give it the message of its size rule.
  EXPECT_EQ(header(context.get(), withFrameSize(jpeg, 96, 0)).rc, mc_jpeg_empty_frame);
}

TEST(McJpegCrop, RegionRules) {
  const Context context;
  const std::string align = "mc_jpeg_crop(): To crop this JPEG image, x must be a multiple of ";
  const std::string region = "mc_jpeg_crop(): The crop region ";
  const std::string inside = " must lie inside the 203x157 image.";
  struct Case {
    int code, x, y, w, h;
    std::string message;  // empty: succeeds with exactly w × h pixels
  };
  const Case cases[] = {
      {2, 16, 32, 99, 61, ""},
      {2, 0, 0, 203, 157, ""},  // the whole image
      {2, 16, 8, 32, 32, align + "16\nand y must be a multiple of 16."},
      {5, 16, 0, 32, 32, align + "32\nand y must be a multiple of 8."},
      {6, 0, 16, 32, 32, align + "8\nand y must be a multiple of 32."},
      {2, 16, 0, 188, 157, region + "188x157+16+0" + inside},
      {2, 0, 16, 203, 142, region + "203x142+0+16" + inside},
      {2, -16, 0, 8, 8, region + "8x8+-16+0" + inside},
      {2, 0, 0, 8, 0, region + "8x0+0+0" + inside},
  };
  for (const Case& c : cases) {
    const ByteVector jpeg = makeLayout(kLayouts[c.code], {.width = 203, .height = 157});
    const Result r = crop(context.get(), jpeg, c.x, c.y, c.w, c.h);
    EXPECT_EQ(r.message, c.message) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    if (!c.message.empty()) continue;
    const mc_jpeg_header_info h = header(context.get(), r.out.pixels).info;
    EXPECT_EQ(std::pair(h.width, h.height), std::pair(c.w, c.h));
  }
}

TEST(McJpegCrop, StopsOnBadData) {
  const Context context;
  const ByteVector jpeg = makeJPEG({.width = 320, .height = 240});
  const ByteVector truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10));
  EXPECT_EQ(crop(context.get(), truncated, 0, 0, 64, 64).message, "Premature end of JPEG file");
  // A multi-scan image is held whole: 20000 × 20000 pixels of coefficients
  // exceed the 256 MB cap. A single-scan one streams row by row and runs
  // out of data instead.
  const ByteVector progressive = makeJPEG({.width = 320, .height = 240, .progressive = true});
  EXPECT_EQ(crop(context.get(), withFrameSize(progressive, 20000, 20000), 0, 0, 64, 64).message,
            "Backing store not supported");
  EXPECT_EQ(crop(context.get(), withFrameSize(jpeg, 20000, 20000), 0, 0, 64, 64).message,
            "Corrupt JPEG data: premature end of data segment");
  EXPECT_EQ(crop(context.get(), kPNGStart, 0, 0, 8, 8).message, kNotAJPEG);
  EXPECT_EQ(crop(nullptr, jpeg, 0, 0, 8, 8).message, "JPEG context allocation failed");
  EXPECT_EQ(crop(context.get(), jpeg, 0, 0, 64, 64).rc, 0);  // still usable
}

// The patch spans scaled columns [((x/d)/m)·m, ceil((x+w)/d)), m the scaled
// MCU width, and rows [y/d, ceil((y+h)/d)); it is bit-identical to that
// rectangle of a full gray decode at the scale.
TEST(McJpegGrayROI, Geometry) {
  struct Case {
    int layout, x, y, w, h, d;
    int left, top, width, height;  // expected patch
  };
  const Case cases[] = {
      {2, 100, 30, 50, 40, 2, 48, 15, 27, 20},  // m = 8: left 48, right 75
      {2, 100, 31, 50, 40, 1, 96, 31, 54, 40},   {0, 13, 7, 20, 9, 2, 4, 3, 13, 5},
      {5, 70, 1, 40, 3, 2, 32, 0, 23, 2},        {1, 299, 199, 1, 1, 1, 288, 199, 12, 1},
      {6, 250, 21, 50, 150, 2, 124, 10, 26, 76}, {7, 130, 70, 101, 77, 2, 64, 35, 52, 39},
  };
  const Context context;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << kLayouts[c.layout].name << " 1/" << c.d << " " << c.w
                                      << "x" << c.h << "+" << c.x << "+" << c.y);
    const ByteVector jpeg = makeLayout(kLayouts[c.layout]);
    const Result r = grayROI(context.get(), jpeg, c.x, c.y, c.w, c.h, c.d);
    ASSERT_EQ(r.rc, 0) << r.message;
    EXPECT_EQ(std::pair(r.out.width, r.out.height), std::pair(c.width, c.height));
    EXPECT_EQ(differingRows(r.out, decode(jpeg, DecodeAs::gray, c.d), c.left, c.top), 0);
  }
}

TEST(McJpegGrayROI, Refusals) {
  const Context context;
  const ByteVector jpeg = makeJPEG({.width = 300, .height = 200});
  // Empty, one pixel beyond an edge, or negative.
  const std::array<int, 4> outside[] = {
      {0, 0, 0, 10}, {290, 0, 11, 10}, {0, 190, 10, 11}, {-1, 0, 10, 10}};
  for (const auto& [x, y, w, h] : outside) {
    EXPECT_EQ(grayROI(context.get(), jpeg, x, y, w, h, 1).message,
              "Invalid grayscale focus region");
  }
  EXPECT_EQ(grayROI(context.get(), jpeg, 0, 0, 8, 8, 3).rc, -1);  // scales 1 and 2 only
  const ByteVector truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  EXPECT_EQ(grayROI(context.get(), truncated, 0, 150, 64, 32, 1).message,
            "Premature end of JPEG file");
  EXPECT_EQ(grayROI(context.get(), jpeg, 0, 150, 64, 32, 1).rc, 0);  // still usable

  // At most 4096 scaled pixels a side: 9000 × 100 at 1/2 is 4500 columns.
  const ByteVector wide =
      makeJPEG({.width = 9008, .height = 104, .factors = kSamplingByCode[3], .quality = 30});
  for (const auto& [width, d, rc] : {std::array{8192, 2, 0}, {8193, 2, -1}, {4097, 1, -1}}) {
    EXPECT_EQ(grayROI(context.get(), wide, 0, 0, width, 100, d).rc, rc) << width << " at 1/" << d;
  }
}

// ------------------------------------------------------------ JPEGEngine

TEST(JPEGEngineHeader, AppliesThePixelLimit) {
  const ByteVector small = makeJPEG({});  // only the SOF's size is read
  struct Case {
    int width, height;
    bool passes;
  };
  const Case cases[] = {
      {12000, 11666, true},   // 139 992 000 pixels
      {12000, 11667, false},  // 140 004 000
      {1, 1, true},
      {6000, 0, false},
  };
  JPEGEngine engine;
  for (const Case& c : cases) {
    const ByteVector jpeg = withFrameSize(small, c.width, c.height);
    if (c.passes) {
      EXPECT_EQ(engine.header(jpeg), (JPEGInfo{c.width, c.height, 16, 16, 2}));
    } else {
      EXPECT_EQ(errorOf([&] { engine.header(jpeg); }), "图片尺寸无效或超过原型的 1.4 亿像素限制")
          << c.width << "x" << c.height;
    }
  }
  EXPECT_EQ(errorOf([&] { engine.header(kPNGStart); }), kNotAJPEG);  // the codec's text
}

TEST(JPEGEngine, Ownership) {
  const ByteVector jpeg = makeJPEG({});
  Bytes cropped;
  {
    JPEGEngine engine;
    // A width beyond int must not wrap into a valid one.
    EXPECT_EQ(errorOf([&] {
                engine.crop(jpeg, PixelRect{0, 0, std::int64_t{1} << 32, 16});
              }),
              "mc_jpeg_crop(): The crop region must lie inside the image.");
    cropped = engine.crop(jpeg, PixelRect{16, 32, 48, 32});
    JPEGEngine moved = std::move(engine);
    EXPECT_EQ(moved.header(jpeg).width, 96);
    EXPECT_EQ(errorOf([&] { engine.header(jpeg); }), "JPEG context allocation failed");  // NOLINT
  }
  // The bytes outlive the engine that made them.
  EXPECT_EQ(decode(cropped.span(), DecodeAs::rgb).width, 48);
}

// Half scale from a shorter side of 320 pixels; rectangles are checked
// before any int conversion.
TEST(JPEGEngineGrayscale, ScaleRuleAndRefusals) {
  EXPECT_EQ(JPEGEngine::grayscaleScale({0, 0, 2000, 319}), 1);
  EXPECT_EQ(JPEGEngine::grayscaleScale({0, 0, 320, 5000}), 2);
  const ByteVector jpeg = makeJPEG({.width = 640, .height = 2048, .quality = 40});
  JPEGEngine engine;
  // At 1/2: left = (100/2)/8·8 = 48, right = ceil(420/2) = 210, rows 5…165.
  const GrayPatch half = engine.grayscaleROI(jpeg, PixelRect{100, 10, 320, 320});
  EXPECT_EQ(std::pair(half.width, half.height), std::pair(162L, 160L));
  for (const PixelRect& bad :
       {PixelRect{0, 0, 641, 10}, PixelRect{-(std::int64_t{1} << 40), 0, 1, 1}}) {
    EXPECT_EQ(errorOf([&] { engine.grayscaleROI(jpeg, bad); }), "Invalid grayscale focus region");
  }
}

}  // namespace
}  // namespace kestrel
