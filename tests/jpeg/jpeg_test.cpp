// SPDX-License-Identifier: MIT
// core/jpeg: the mc_jpeg codec layer, JPEGEngine's rules on top of it, thumbnails and preview
// files. Reference JPEGs and decodes are made with libjpeg directly.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <tuple>

#include "core/base/crop_error.h"
#include "core/jpeg/detail/exif.h"
#include "core/jpeg/detail/libjpeg_support.h"
#include "core/jpeg/detail/mc_jpeg.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/previews.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using ByteVector = std::vector<std::uint8_t>;

const ByteVector kPNGStart = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct JPEGOptions {
  int width = 96, height = 64;
  std::vector<std::pair<int, int>> factors = {{2, 2}, {1, 1}, {1, 1}};  // h, v of each component
  int quality = 90, restartRows = 0;
  bool progressive = false, writeJFIF = true;
  bool cmyk = false;  // four 1×1 components stored as given (Adobe marker written)
  std::vector<std::pair<int, ByteVector>> markers;  // code and payload, right after SOI/JFIF
};

// Encodes `pixels` (width × height × components), or noise when empty.
ByteVector makeJPEG(const JPEGOptions& o, ByteVector pixels = {}) {
  const int components = o.cmyk ? 4 : static_cast<int>(o.factors.size());
  if (pixels.empty()) {
    pixels.resize(static_cast<std::size_t>(o.width) * o.height * components);
    std::generate(pixels.begin(), pixels.end(), std::mt19937(1));
  }
  libjpeg::ErrorManager errors(true);
  libjpeg::CompressHandle encoder(errors);
  jpeg_compress_struct* out = encoder.get();
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool ok = libjpeg::guarded(errors, [&] {
    out->image_width = static_cast<JDIMENSION>(o.width);
    out->image_height = static_cast<JDIMENSION>(o.height);
    out->input_components = components;
    out->in_color_space = o.cmyk ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(out);
    jpeg_set_quality(out, o.quality, TRUE);
    for (std::size_t c = 0; c < (o.cmyk ? 0 : o.factors.size()); ++c)
      std::tie(out->comp_info[c].h_samp_factor, out->comp_info[c].v_samp_factor) = o.factors[c];
    if (o.progressive) jpeg_simple_progression(out);
    out->restart_in_rows = o.restartRows;
    out->write_JFIF_header = o.writeJFIF ? TRUE : FALSE;
    jpeg_mem_dest(out, &buffer, &size);
    jpeg_start_compress(out, TRUE);
    for (const auto& [code, payload] : o.markers)
      jpeg_write_marker(out, code, payload.data(), static_cast<unsigned>(payload.size()));
    while (out->next_scanline < out->image_height) {
      JSAMPROW row = pixels.data() + std::size_t{out->next_scanline} * o.width * components;
      jpeg_write_scanlines(out, &row, 1);
    }
    jpeg_finish_compress(out);
  });
  const ByteVector result(buffer, buffer + (ok ? size : 0));
  std::free(buffer);
  if (!ok) throw std::runtime_error(std::string("makeJPEG: ") + errors.message);
  return result;
}

void put(ByteVector& out, std::size_t at, std::uint32_t value, int bytes, bool le) {
  for (int i = 0; i < bytes; ++i)
    out[at + std::size_t(i)] = std::uint8_t(value >> (le ? 8 * i : 8 * (bytes - 1 - i)));
}

// A small file with a huge (or empty) frame, wherever only the header is read.
ByteVector withFrameSize(ByteVector jpeg, int width, int height) {
  std::size_t i = 2;
  while (jpeg[i] != 0xFF || (jpeg[i + 1] != 0xC0 && jpeg[i + 1] != 0xC2)) ++i;
  put(jpeg, i + 5, static_cast<std::uint32_t>(height), 2, false);
  put(jpeg, i + 7, static_cast<std::uint32_t>(width), 2, false);
  return jpeg;
}

struct Decoded {
  int width = 0, height = 0, components = 0;
  ByteVector pixels;
  const std::uint8_t* at(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * components;
  }
};

// RGB or gray at 1/denominator; unsmoothed chroma: each pixel depends on its own block only.
Decoded decode(std::span<const std::uint8_t> jpeg, bool gray = false, int denominator = 1) {
  libjpeg::ErrorManager errors(true);
  libjpeg::DecompressHandle decoder(errors);
  jpeg_decompress_struct* in = decoder.get();
  Decoded r;
  const bool ok = libjpeg::guarded(errors, [&] {
    jpeg_mem_src(in, jpeg.data(), jpeg.size());
    jpeg_read_header(in, TRUE);
    in->out_color_space = gray || in->num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    in->do_fancy_upsampling = FALSE;
    in->scale_denom = static_cast<unsigned>(denominator);
    jpeg_start_decompress(in);
    r = {int(in->output_width), int(in->output_height), in->output_components, {}};
    r.pixels.resize(static_cast<std::size_t>(r.width) * r.height * r.components);
    while (in->output_scanline < in->output_height) {
      JSAMPROW row = r.pixels.data() + std::size_t{in->output_scanline} * r.width * r.components;
      jpeg_read_scanlines(in, &row, 1);
    }
    jpeg_finish_decompress(in);
  });
  if (!ok) throw std::runtime_error(std::string("decode: ") + errors.message);
  return r;
}

// Rows where `part` differs from the rectangle of `full` at (x, y).
int differingRows(const Decoded& part, const Decoded& full, int x, int y) {
  int rows = 0;
  for (int row = 0; row < part.height; ++row)
    rows += !std::equal(part.at(0, row), part.at(0, row + 1), full.at(x, y + row));
  return rows;
}

struct Entry {
  std::uint16_t tag, type;  // type 3 SHORT, 4 LONG
  std::uint32_t count, value;
};
struct TiffOptions {
  bool littleEndian = true;
  std::vector<Entry> ifd0, exifIFD;
  bool linkIFD1 = true;  // IFD0's next-IFD pointer, as a repair leaves it when false
};
// APP1 payload "Exif\0\0" + TIFF: IFD0, the Exif IFD (when not empty) and an empty IFD1.
ByteVector makeExif(const TiffOptions& options) {
  const bool le = options.littleEndian;
  std::vector<Entry> ifd0 = options.ifd0;
  const std::size_t exifIFD = 8 + 2 + 12 * (ifd0.size() + 1) + 4;
  if (!options.exifIFD.empty()) ifd0.push_back({0x8769, 4, 1, static_cast<std::uint32_t>(exifIFD)});
  const std::size_t ifd1 = 8 + 2 + 12 * ifd0.size() + 4 +
                           (options.exifIFD.empty() ? 0 : 2 + 12 * options.exifIFD.size() + 4);
  ByteVector tiff(ifd1 + 2 + 4, 0);
  tiff[0] = tiff[1] = le ? 'I' : 'M';
  put(tiff, 2, 42, 2, le);
  put(tiff, 4, 8, 4, le);
  const auto writeIFD = [&](std::size_t at, const std::vector<Entry>& entries, std::size_t next) {
    put(tiff, at, static_cast<std::uint32_t>(entries.size()), 2, le);
    for (const Entry& e : entries) {
      put(tiff, at + 2, e.tag, 2, le);
      put(tiff, at + 4, e.type, 2, le);
      put(tiff, at + 6, e.count, 4, le);
      put(tiff, at + 10, e.value, e.type == 3 && e.count == 1 ? 2 : 4, le);  // left-justified
      at += 12;
    }
    put(tiff, at + 2, static_cast<std::uint32_t>(next), 4, le);
  };
  writeIFD(8, ifd0, options.linkIFD1 ? ifd1 : 0);
  if (!options.exifIFD.empty()) writeIFD(exifIFD, options.exifIFD, 0);
  tiff.insert(tiff.begin(), {'E', 'x', 'i', 'f', 0, 0});
  return tiff;
}

constexpr std::size_t kExifIFDLink = 6 + 8 + 2 + 12;  // payload offset, one IFD0 entry

// The CropError text thrown by `action`, or "" when it throws none.
std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

ByteVector readBytes(const fs::path& path) {
  const std::string data = testing::readFile(path);
  return {data.begin(), data.end()};
}
void writeBytes(const fs::path& path, std::span<const std::uint8_t> data) {
  testing::writeFile(path, {reinterpret_cast<const char*>(data.data()), data.size()});
}

// One context for every call of the run: each must leave it usable.
mc_jpeg_context* const kContext = mc_jpeg_create();

struct Result {
  int rc = 0;
  std::string message;
  Decoded out;  // the cropped JPEG's bytes, or the gray patch
};

// The outputs start as garbage: a failure must reset them and leave a message.
Result crop(std::span<const std::uint8_t> jpeg, int x, int y, int w, int h) {
  char message[512] = {};
  auto* out = reinterpret_cast<std::uint8_t*>(1);
  std::size_t size = 99;
  const int rc = mc_jpeg_crop(kContext, jpeg.data(), jpeg.size(), x, y, w, h, &out, &size, message,
                              sizeof message);
  EXPECT_TRUE(rc == 0 ? out && size : !out && !size && message[0]) << rc << " " << message;
  Result r{rc, message, {0, 0, 0, rc == 0 ? ByteVector(out, out + size) : ByteVector()}};
  mc_jpeg_free(rc == 0 ? out : nullptr);
  return r;
}

Result grayROI(std::span<const std::uint8_t> jpeg, int x, int y, int w, int h, int d) {
  char message[512] = {};
  auto* pixels = reinterpret_cast<std::uint8_t*>(1);
  Result r{0, "", {-1, -1, 1}};
  r.rc = mc_jpeg_gray_roi(kContext, jpeg.data(), jpeg.size(), x, y, w, h, d, &pixels, &r.out.width,
                          &r.out.height, message, sizeof message);
  r.message = message;
  EXPECT_TRUE(r.rc == 0 ? pixels != nullptr
                        : !pixels && !r.out.width && !r.out.height && message[0]);
  if (r.rc == 0) r.out.pixels.assign(pixels, pixels + std::size_t(r.out.width) * r.out.height);
  mc_jpeg_free(r.rc == 0 ? pixels : nullptr);
  return r;
}

struct Layout {
  const char* name;
  JPEGOptions options;  // sampling, progression, restarts
  int code, mcuWidth, mcuHeight;
};

const Layout kLayouts[] = {
    {"4:4:4", {.factors = {{1, 1}, {1, 1}, {1, 1}}}, 0, 8, 8},
    {"4:2:2", {.factors = {{2, 1}, {1, 1}, {1, 1}}}, 1, 16, 8},
    {"4:2:0", {.factors = {{2, 2}, {1, 1}, {1, 1}}}, 2, 16, 16},
    {"gray", {.factors = {{1, 1}}}, 3, 8, 8},
    {"4:4:0", {.factors = {{1, 2}, {1, 1}, {1, 1}}}, 4, 8, 16},
    {"4:1:1", {.factors = {{4, 1}, {1, 1}, {1, 1}}}, 5, 32, 8},
    {"4:4:1", {.factors = {{1, 4}, {1, 1}, {1, 1}}}, 6, 8, 32},
    {"progressive 4:2:0", {.progressive = true}, 2, 16, 16},
    {"restarts 4:2:0", {.restartRows = 1}, 2, 16, 16},
    {"4:4:4 as 2x1", {.factors = {{2, 1}, {2, 1}, {2, 1}}}, 0, 16, 8},  // the MCU is 16 × 8
    {"gray as 2x2", {.factors = {{2, 2}}}, 3, 8, 8},  // one component: never interleaved
};

// `o` with the layout's sampling, progression and restarts.
ByteVector makeLayout(const Layout& layout, JPEGOptions o = {.width = 300, .height = 200}) {
  const JPEGOptions& l = layout.options;
  std::tie(o.factors, o.progressive, o.restartRows) =
      std::tie(l.factors, l.progressive, l.restartRows);
  return makeJPEG(o);
}

// Noisy images of every layout, streamed in many 32 KB chunks, opening with a JFIF, a camera Exif
// or an Exif with a one-entry sub-IFD, one with a COM after its scan: crops inside, at the far
// corner, of one MCU row and whole are the original's rectangle, byte for byte jpegtran's.
TEST(McJpegCrop, EveryLayoutAndPositionMatchesTheOriginalAndJpegtran) {
  const bool jpegtran = std::system("jpegtran -version 2>/dev/null") == 0;
  const testing::TempDir dir;
  const ByteVector firstSegments[] = {
      {'h', 't', 't', 'p', 0},
      makeExif({.littleEndian = false, .exifIFD = {{0xA002, 3, 1, 611}, {0xA003, 4, 1, 469}}}),
      makeExif({.ifd0 = {{0x0112, 3, 1, 1}}, .exifIFD = {{0xA002, 3, 1, 611}}})};
  for (const Layout& c : kLayouts) {
    SCOPED_TRACE(c.name);
    const auto style = (&c - kLayouts + 1) % 3;
    const int width = 611, height = 469, mw = c.mcuWidth, mh = c.mcuHeight;
    ByteVector original = makeLayout(c, {.width = width,
                                         .height = height,
                                         .writeJFIF = style == 0,
                                         .markers = {{0xE1, firstSegments[style]},
                                                     {0xE2, ByteVector(35000, 3)},
                                                     {0xFE, ByteVector{'h', 'i'}}}});
    if (&c == &kLayouts[2]) original.insert(original.end() - 2, {0xFF, 0xFE, 0, 5, 'e', 'n', 'd'});
    EXPECT_EQ(JPEGEngine().header(original), (JPEGInfo{width, height, mw, mh, c.code}));
    writeBytes(dir / "in.jpg", original);
    const Decoded full = decode(original);
    const int lastX = (width - 1) / mw * mw, lastY = (height - 1) / mh * mh;
    for (const auto& [x, y, w, h] : {std::array{mw * 2, mh, 101, 77},
                                     {lastX, lastY, width - lastX, height - lastY},
                                     {mw * 3, mh * 5, width - mw * 3, mh},
                                     {0, 0, width, height}}) {
      const std::string region = std::to_string(w) + "x" + std::to_string(h) + "+" +
                                 std::to_string(x) + "+" + std::to_string(y);
      SCOPED_TRACE(region);
      const Result r = crop(original, x, y, w, h);
      ASSERT_EQ(r.rc, 0) << r.message;
      const Decoded part = decode(r.out.pixels);
      ASSERT_EQ(std::pair(part.width, part.height), std::pair(w, h));
      EXPECT_EQ(differingRows(part, full, x, y), 0);
      if (!jpegtran) continue;
      const std::string command = "jpegtran -copy all -crop " + region + " -outfile " +
                                  (dir / "out.jpg").string() + " " + (dir / "in.jpg").string();
      ASSERT_EQ(std::system(command.c_str()), 0);
      EXPECT_TRUE(readBytes(dir / "out.jpg") == r.out.pixels);
    }
  }
  if (!jpegtran) GTEST_SKIP() << "jpegtran is not installed: byte identity not checked";
}

// Refusals carry the codec's texts, passed on by the engine, or the engine's own: 140 000 000
// pixels pass, one row more or none fail; a region beyond int is refused rather than wrapped.
TEST(McJpeg, RefusalsCarryClearTexts) {
  const ByteVector jpeg = makeJPEG({.width = 320, .height = 240});
  const auto part = [&](std::size_t n) { return ByteVector(jpeg.begin(), jpeg.begin() + long(n)); };
  const auto layout = [](int i) { return makeLayout(kLayouts[i], {.width = 203, .height = 157}); };
  // clang-format off
  const std::string premature = "Premature end of JPEG file", large = "图片尺寸无效或超过原型的 1.4 亿像素限制";
  const std::string align = "mc_jpeg_crop(): To crop this JPEG image, x must be a multiple of ";
  const std::string region = "mc_jpeg_crop(): The crop region ", inside = " must lie inside the 203x157 image.";
  JPEGEngine engine;
  const std::pair<std::string, std::function<std::string()>> cases[] = {
      {"Not a JPEG file: starts with 0x89 0x50", [&] { return errorOf([&] { engine.header(kPNGStart); }); }},
      {premature, [&] { return errorOf([&] { engine.header(part(60)); }); }},  // a warning
      {"Unsupported JPEG chroma subsampling", [&] { return errorOf([&] { engine.header(makeJPEG({.factors = {{4, 2}, {1, 1}, {1, 1}}})); }); }},  // 4:1:0
      {"", [&] { return errorOf([&] { engine.header(withFrameSize(jpeg, 14000, 10000)); }); }},
      {large, [&] { return errorOf([&] { engine.header(withFrameSize(jpeg, 14000, 10001)); }); }},
      {large, [&] { return errorOf([&] { engine.header(withFrameSize(jpeg, 6000, 0)); }); }},
      {align + "32\nand y must be a multiple of 8.", [&] { return crop(layout(5), 16, 0, 32, 32).message; }},
      {align + "8\nand y must be a multiple of 32.", [&] { return crop(layout(6), 0, 16, 32, 32).message; }},
      {region + "188x157+16+0" + inside, [&] { return crop(layout(2), 16, 0, 188, 157).message; }},
      {region + "8x8+-16+0" + inside, [&] { return crop(layout(2), -16, 0, 8, 8).message; }},
      {region + "8x0+0+0" + inside, [&] { return crop(layout(2), 0, 0, 8, 0).message; }},
      {premature, [&] { return crop(part(jpeg.size() - 3000), 0, 0, 64, 64).message; }},
      // 20000 × 20000: progressive is held whole, over the 256 MB cap; single-scan streams.
      {"Backing store not supported", [&] { return crop(withFrameSize(makeJPEG({.width = 320, .height = 240, .progressive = true}), 20000, 20000), 0, 0, 64, 64).message; }},
      {"Corrupt JPEG data: premature end of data segment", [&] { return crop(withFrameSize(jpeg, 20000, 20000), 0, 0, 64, 64).message; }},
      {"mc_jpeg_crop(): The crop region must lie inside the image.", [&] { return errorOf([&] { engine.crop(jpeg, {0, 0, std::int64_t{1} << 32, 16}); }); }},
      {"Invalid grayscale focus region", [&] { return grayROI(jpeg, -1, 0, 10, 10, 1).message; }},
      {premature, [&] { return grayROI(part(jpeg.size() / 2), 0, 200, 64, 32, 1).message; }},
  };
  // clang-format on
  for (const auto& [message, action] : cases) EXPECT_EQ(action(), message);
}

// The patch spans scaled columns [((x/d)/m)·m, ceil((x+w)/d)), m the scaled MCU width, and rows
// [y/d, ceil((y+h)/d)), bit-identical to a full gray decode; at most 4096 scaled pixels a side.
TEST(McJpegGrayROI, GeometryAndTheEngineScaleRule) {
  const std::array<int, 10> cases[] = {
      // layout, x, y, w, h, d, then the patch: left, top, width, height
      {2, 100, 30, 50, 40, 2, 48, 15, 27, 20},  // m = 8: left 48, right 75
      {2, 100, 31, 50, 40, 1, 96, 31, 54, 40},   {0, 13, 7, 20, 9, 2, 4, 3, 13, 5},
      {5, 70, 1, 40, 3, 2, 32, 0, 23, 2},        {1, 299, 199, 1, 1, 1, 288, 199, 12, 1},
      {6, 250, 21, 50, 150, 2, 124, 10, 26, 76}, {7, 130, 70, 101, 77, 2, 64, 35, 52, 39},
  };
  for (const auto& [layout, x, y, w, h, d, left, top, width, height] : cases) {
    SCOPED_TRACE(::testing::Message() << kLayouts[layout].name << " at 1/" << d << ", x " << x);
    const ByteVector jpeg = makeLayout(kLayouts[layout]);
    const Result r = grayROI(jpeg, x, y, w, h, d);
    ASSERT_EQ(r.rc, 0) << r.message;
    EXPECT_EQ(std::pair(r.out.width, r.out.height), std::pair(width, height));
    EXPECT_EQ(differingRows(r.out, decode(jpeg, true, d), left, top), 0);
  }
  const ByteVector wide = makeLayout(kLayouts[3], {.width = 9008, .height = 104, .quality = 30});
  for (const auto& [width, d, rc] : {std::array{8192, 2, 0}, {8193, 2, -1}, {4097, 1, -1}})
    EXPECT_EQ(grayROI(wide, 0, 0, width, 100, d).rc, rc) << width << " at 1/" << d;
  // The engine halves from a shorter side of 320: columns 48…210, rows 5…165.
  EXPECT_EQ(JPEGEngine::grayscaleScale({0, 0, 2000, 319}), 1);
  const GrayPatch patch =
      JPEGEngine().grayscaleROI(makeJPEG({.width = 640, .height = 400}), {100, 10, 320, 320});
  EXPECT_EQ(std::pair(patch.width, patch.height), std::pair(162L, 160L));
}

constexpr std::uint16_t kShort = 3, kLong = 4;

ByteVector withExif(const ByteVector& payload) { return makeJPEG({.markers = {{0xE1, payload}}}); }

// The four dimension fields get the new size, IFD1 is unlinked, no other byte changes.
TEST(RepairExif, WritesTheDimensionFieldsAndDetachesIFD1) {
  // clang-format off
  const std::tuple<bool, std::uint16_t, std::uint32_t, int, std::uint32_t, std::uint32_t> cases[] = {
      // little-endian, type, count, new width, then the width and height expected
      {true, kLong, 1, 70000, 70000, 3520},  {false, kLong, 1, 5280, 5280, 3520},
      {true, kShort, 1, 65535, 65535, 3520}, {false, kShort, 1, 5280, 5280, 3520},
      {false, kShort, 1, 65536, 6000, 3520},  // a SHORT cannot hold 65 536: kept, still counted
      {true, kLong, 2, 5280, 6000, 4000},     // not a single value: counted, not written
  };
  // clang-format on
  for (const auto& [le, type, count, newWidth, width, height] : cases) {
    const auto exif = [&](std::uint32_t w, std::uint32_t h, bool linkIFD1) {
      return withExif(makeExif(
          {.littleEndian = le,
           .ifd0 = {{0x0100, type, count, w}, {0x0101, type, count, h}, {0x0112, kShort, 1, 6}},
           .exifIFD = {{0xA002, type, count, w}, {0xA003, type, count, h}},
           .linkIFD1 = linkIFD1}));
    };
    ByteVector jpeg = exif(6000, 4000, true);
    EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), newWidth, 3520), 4);
    EXPECT_EQ(jpeg, exif(width, height, false)) << le << " type " << type << " count " << count;
  }
}

// Hostile and foreign data: how many fields are found; with none, no byte changes.
TEST(RepairExif, WalkRules) {
  // ImageWidth in IFD0, PixelXDimension in the Exif IFD; `bytes` overwrite the payload at `at`.
  const auto tiffWith = [](bool le, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    ByteVector exif = makeExif({.littleEndian = le,
                                .ifd0 = {{0x0100, kLong, 1, 6000}},
                                .exifIFD = {{0xA002, kLong, 1, 6000}}});
    std::copy(bytes.begin(), bytes.end(), exif.begin() + static_cast<long>(at));
    return exif;
  };
  const ByteVector tiff = tiffWith(true, 0, {}), plain = withExif(tiff);
  ByteVector fillBytes = {0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0x01, 0xFF, 0xFF, 0xFF};
  fillBytes.insert(fillBytes.end(), plain.begin() + 3, plain.end());  // continues "E0 <length>"
  // One Exif segment in each byte order, then one at the start of the scan data.
  ByteVector twoOrders = makeJPEG({.markers = {{0xE1, tiff}, {0xE1, tiffWith(false, 0, {})}}});
  const std::uint8_t sos[] = {0xFF, 0xDA};
  const auto scan = std::search(twoOrders.begin(), twoOrders.end(), sos, sos + 2);
  const auto app1 = plain.begin() + 20;  // after SOI and the JFIF segment
  twoOrders.insert(scan + 2 + scan[3], app1, app1 + 4 + static_cast<long>(tiff.size()));
  const std::tuple<const char*, ByteVector, int> cases[] = {
      {"fill bytes and markers without length first", fillBytes, 2},
      {"Exif segments in both byte orders before the scan, one in it", twoOrders, 4},
      {"MM with magic 43", withExif(tiffWith(false, 6 + 3, {43})), 0},
      {"XMP APP1", withExif({'h', 't', 't', 'p', ':', '/', '/'}), 0},
      {"SOI and a lone FF", ByteVector{0xFF, 0xD8, 0xFF}, 0},
      // Nothing is touched, not even IFD1's link.
      {"IFD0 one entry longer than the TIFF holds", withExif(tiffWith(true, 6 + 8, {9})), 0},
      {"segment longer than the buffer", ByteVector(plain.begin(), plain.begin() + 60), 0},
      // IFD0 is still repaired.
      {"Exif IFD beyond the TIFF", withExif(tiffWith(true, kExifIFDLink + 8, {0xF0, 0xF0})), 1},
      {"Exif IFD link not a LONG", withExif(tiffWith(true, kExifIFDLink + 2, {kShort})), 1},
  };
  for (const auto& [what, original, found] : cases) {
    ByteVector data = original;
    EXPECT_EQ(mc_jpeg_repair_exif(data.data(), data.size(), 800, 600), found) << what;
    EXPECT_TRUE(found != 0 || data == original) << what << ": changed";
  }
}
// One SHORT of IFD0, also after fill bytes and bare markers; none from an IFD0 beyond its TIFF.
TEST(ExifOrientation, ReadsOneShortOfIFD0) {
  const ByteVector plain = withExif(makeExif({true, {{0x0112, kShort, 1, 6}}}));
  ByteVector fillBytes = {0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0x01, 0xFF, 0xFF, 0xFF};
  fillBytes.insert(fillBytes.end(), plain.begin() + 3, plain.end());  // continues "E0 <length>"
  ByteVector tooLong = plain;
  tooLong[20 + 4 + 6 + 8] = 2;  // IFD0's count, after SOI, the JFIF segment, APP1 and "Exif\0\0"
  const std::pair<ByteVector, std::optional<int>> cases[] = {
      {withExif(makeExif({false, {{0x0100, kLong, 1, 9}, {0x0112, kShort, 1, 8}}})), 8},
      {withExif(makeExif({true, {{0x0112, kLong, 1, 6}}})), std::nullopt},  // not a SHORT
      {withExif(makeExif({true, {{0x0112, kShort, 2, 6}}})), std::nullopt},
      {makeJPEG({}), std::nullopt},
      {fillBytes, 6},
      {tooLong, std::nullopt},
  };
  for (const auto& [jpeg, expected] : cases) EXPECT_EQ(exif::orientation(jpeg), expected);
}

// Mutants of small JPEGs of every layout with an Exif segment and of two large ones (many
// chunks for the streamed crop), each against an inaccessible page: every call stays inside
// the buffer and succeeds, or fails with a message and resets its output (leaks: ASan).
TEST(Mutation, CodecAndExifRepairFailCleanlyOnCorruptJPEGs) {
  std::vector<ByteVector> seeds;
  for (const Layout& layout : kLayouts) {
    const std::uint16_t type = layout.code % 2 ? kLong : kShort;
    const ByteVector exif = makeExif({.littleEndian = type == kShort,
                                      .ifd0 = {{0x0100, type, 1, 40}},
                                      .exifIFD = {{0xA003, type, 1, 36}}});
    seeds.push_back(makeLayout(layout, {.width = 40, .height = 36, .markers = {{0xE1, exif}}}));
  }
  for (int code : {2, 5})
    seeds.push_back(makeLayout(kLayouts[code], {.width = 611, .height = 469}));
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t inner = (2 * seeds.back().size() + page) / page * page;
  auto* base = static_cast<std::uint8_t*>(
      ::mmap(nullptr, inner + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_EQ(::mprotect(base + page, inner, PROT_READ | PROT_WRITE), 0);
  std::mt19937 random(7);
  int repaired = 0, crops = 0, patches = 0;
  for (int i = 0; i < 4000; ++i) {
    // Every eighth from a large seed, most at the upper guard; 1–8 edits, most in the first
    // 400 bytes (markers and IFDs): a flipped bit, a random byte, FF, 00, or that and a cut.
    ByteVector data = seeds[i % 8 == 7 ? seeds.size() - 1 - i / 8 % 2 : i % (seeds.size() - 2)];
    for (auto edits = random() % 8; edits < 8 && !data.empty(); ++edits) {
      const std::size_t span = random() % 4 ? std::min<std::size_t>(data.size(), 400) : data.size();
      const std::size_t at = random() % span;
      const std::uint8_t values[] = {std::uint8_t(data[at] ^ (1u << random() % 8)),
                                     std::uint8_t(random()), 0xFF, 0x00};
      const auto kind = random() % 5;
      data[at] = values[kind % 4];
      if (kind == 4) data.resize(random() % data.size());
    }
    std::uint8_t* jpeg = base + page + (i % 3 ? inner - data.size() : 0);
    std::copy(data.begin(), data.end(), jpeg);
    repaired += mc_jpeg_repair_exif(jpeg, data.size(), 70000 + i, 1 + i) > 0;
    mc_jpeg_header_info info{};
    char message[512] = {};
    const int rc = mc_jpeg_header(kContext, jpeg, data.size(), &info, message, sizeof message);
    const int width = info.width, height = info.height;
    ASSERT_EQ(rc != 0, message[0] != 0);
    ASSERT_TRUE(info.subsampling >= 0 && info.subsampling <= 6);
    if (rc != 0 || width < 1 || height < 1 || width > 1024 || height > 1024) continue;
    const int w = std::max(1, width / 2), h = std::max(1, height / 2);
    crops += crop({jpeg, data.size()}, 0, 0, w, h).rc == 0;
    patches += grayROI({jpeg, data.size()}, width / 3, height / 3, w, h, 1 + i % 2).rc == 0;
  }
  ::munmap(base, inner + 2 * page);
  EXPECT_GT(repaired, 1000);  // many mutants still hold repairable fields
  EXPECT_GT(crops, 100);
  EXPECT_GT(patches, 100);
}

ImageSource sourceOf(const ByteVector& jpeg) { return ImagePreparation::source(Bytes(jpeg)); }

// The exact long edge, the aspect kept (rounded half up), never enlarged. A JPEG cut mid-scan is
// decoded as far as it goes, one cut in its header is refused; Adobe CMYK is inverted ink.
TEST(ImagePreparation, SourceAndThumbnailSize) {
  const ByteVector jpeg = makeJPEG({.width = 400, .height = 300});
  for (const ByteVector& bad :
       {ByteVector{}, kPNGStart, ByteVector(jpeg.begin(), jpeg.begin() + 50)})
    EXPECT_EQ(errorOf([&] { sourceOf(bad); }), "无法读取 JPEG 图像");
  EXPECT_EQ(errorOf([&] { ImagePreparation::thumbnail(sourceOf(jpeg), 0); }), "无法生成分析小图");
  for (const auto& [width, height, longEdge, expectWidth, expectHeight] :
       {std::array{400, 600, 102, 68, 102},
        {600, 401, 300, 300, 201},
        {300, 200, 1024, 300, 200},
        {1000, 4, 100, 100, 1}}) {
    const RGBImage image = ImagePreparation::thumbnail(
        sourceOf(makeJPEG({.width = width, .height = height})), longEdge);
    EXPECT_EQ(std::pair(image.width, image.height), std::pair(expectWidth, expectHeight))
        << width << "x" << height << " → " << longEdge;
  }
  const ByteVector cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10));
  EXPECT_EQ(ImagePreparation::thumbnail(sourceOf(cut), 512).height, 300);
  ByteVector ink;  // pure red: C 0, M 255, Y 255, K 0
  for (int i = 0; i < 64; ++i) ink.insert(ink.end(), {255, 0, 0, 255});
  const RGBImage red = ImagePreparation::thumbnail(
      sourceOf(makeJPEG({.width = 8, .height = 8, .quality = 100, .cmyk = true}, ink)), 8);
  EXPECT_LE(std::abs(red.pixels.at(0) - 255) + red.pixels.at(1) + red.pixels.at(2), 4);
}

// The exact area average (up to rounding) of the decode at the smallest covering DCT scale.
TEST(ImagePreparation, ThumbnailIsTheAreaAverageOfTheDecodedPicture) {
  const ByteVector jpeg = makeLayout(kLayouts[0], {.width = 640, .height = 480});  // 4:4:4
  // How much of source pixel p lies in target pixel t, s source pixels long.
  const auto overlap = [](int t, double s, int p) {
    return std::max(0.0, std::min<double>(p + 1, (t + 1) * s) - std::max<double>(p, t * s));
  };
  for (const auto& [longEdge, denominator] : {std::pair{70, 8}, {160, 4}, {213, 2}, {500, 1}}) {
    const RGBImage thumb = ImagePreparation::thumbnail(sourceOf(jpeg), longEdge);
    const Decoded in = decode(jpeg, false, denominator);
    const double sx = double(in.width) / thumb.width, sy = double(in.height) / thumb.height;
    double largest = 0;
    for (std::size_t i = 0; i < thumb.pixels.size(); ++i) {
      const int x = int(i / 3) % thumb.width, y = int(i / 3) / thumb.width, c = int(i % 3);
      double sum = 0;
      for (int py = int(y * sy); py < std::min<double>(in.height, (y + 1) * sy); ++py)
        for (int px = int(x * sx); px < std::min<double>(in.width, (x + 1) * sx); ++px)
          sum += in.at(px, py)[c] * overlap(x, sx, px) * overlap(y, sy, py);
      largest = std::max(largest, std::abs(sum / (sx * sy) - thumb.pixels[i]));
    }
    EXPECT_LE(largest, 0.5 + 1e-9) << "long edge " << longEdge;
  }
}

// orient1 … orient8 display the same upright picture, up to JPEG noise.
TEST(ImagePreparation, OrientationSetIsUprightAndAlike) {
  KESTREL_REQUIRE_TEST_DATA(data);
  RGBImage upright;
  for (int o = 1; o <= 8; ++o) {
    const ImageSource source =
        sourceOf(readBytes(data / "orientation-set" / ("orient" + std::to_string(o) + ".jpg")));
    const RGBImage t = ImagePreparation::thumbnail(source, 312);
    ASSERT_EQ(std::pair(t.width, t.height), std::pair(312, 208)) << o;
    if (o == 1) upright = t;
    const auto off =
        std::inner_product(t.pixels.begin(), t.pixels.end(), upright.pixels.begin(), 0, std::plus(),
                           [](int a, int b) { return std::abs(a - b) > 12; });
    EXPECT_LT(off, int(t.pixels.size() / 500)) << o;
  }
}

// Stored 2000 × 1500 under orientation 6: the preview is upright and untagged; the close-up of
// upright x 375…1125, y 1000…1500 is stored x 1000…1500, y 375…1125, in that grid, tagged 6. A
// failure has its message, never replaces a file and leaves none, also when EFBIG cuts a write.
TEST(Preview, UprightPreviewStoredGridCloseUpAndFailures) {
  const testing::TempDir dir;
  const fs::path in = dir / "in.jpg", out = dir / "out.jpg", taken = dir / "taken.jpg";
  const ByteVector jpeg = makeJPEG({.width = 2000,
                                    .height = 1500,
                                    .writeJFIF = false,
                                    .markers = {{0xE1, makeExif({.ifd0 = {{0x0112, 3, 1, 6}}})}}});
  writeBytes(in, jpeg);
  preview(in, dir / "preview.jpg");
  const ByteVector shown = readBytes(dir / "preview.jpg");
  EXPECT_EQ(std::pair(decode(shown).width, decode(shown).height), std::pair(750, 1000));
  EXPECT_EQ(exif::orientation(shown), std::nullopt);
  focusPreview(in, dir / "focus.jpg", Box{0.25, 0.5, 0.5, 0.25}, 6);
  const GrayPatch expected = JPEGEngine().grayscaleROI(jpeg, PixelRect{1000, 375, 500, 750});
  const ByteVector written = readBytes(dir / "focus.jpg");
  EXPECT_EQ(exif::orientation(written), 6);
  const Decoded d = decode(written);
  ASSERT_EQ(std::tuple(d.components, d.width, d.height),
            std::tuple(1, expected.width, expected.height));
  double error = 0;
  for (std::size_t i = 0; i < d.pixels.size(); ++i)
    error += std::abs(d.pixels[i] - expected.pixels.data()[i]);
  EXPECT_LT(error / static_cast<double>(d.pixels.size()), 3.0);
  writeBytes(taken, kPNGStart);
  // clang-format off
  const std::pair<std::string, std::function<void()>> cases[] = {
      {"预览无法读取文件", [&] { preview(dir / "missing.jpg", out); }},
      {"预览无法创建输出", [&] { preview(in, dir / "no" / "out.jpg"); }},
      {"预览无法创建输出", [&] { preview(in, taken); }},
      {"预览写入失败", [&] { writePreviewJPEG(RGBImage{2, 2, {1, 2, 3}}, out); }},
      {"Invalid grayscale focus region", [&] { focusPreview(in, out, {1.5, 0.1, 0.2, 0.2}, 1); }},
      {"无法生成主体预览", [&] { focusPreview(in, out, {std::nan(""), 0.1, 0.2, 0.2}, 1); }},
      {"无法生成主体预览", [&] { focusPreview(in, taken, {0.1, 0.1, 0.2, 0.2}, 1); }},
      {"无法生成主体预览", [&] { writeFocusJPEG(GrayPatch{10, 10, Bytes(ByteVector(99))}, out, 1); }},
  };
  // clang-format on
  for (const auto& [message, action] : cases) EXPECT_EQ(errorOf(action), message);
  EXPECT_EQ(readBytes(taken), kPNGStart);
  const auto files = [&] { return std::distance(fs::directory_iterator(dir.path()), {}); };
  EXPECT_EQ(files(), 4);  // in, preview, focus and taken
  const Decoded noisy = decode(makeJPEG({.width = 400, .height = 300}));
  const auto writeWithLimit = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = errorOf([&] { writePreviewJPEG({400, 300, noisy.pixels}, out); });
    std::exit(error == "预览写入失败" && files() == 4 ? 0 : 1);
  };
  EXPECT_EXIT(writeWithLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrel
