// SPDX-License-Identifier: MIT
// mc_jpeg_repair_exif and the Orientation reader: hand-built segments for
// the field types and walk rules, camera EXIF read back with exiftool.
#include "core/jpeg/detail/exif.h"

#include <gtest/gtest.h>

#include "core/jpeg/detail/mc_jpeg.h"
#include "core/jpeg/jpeg_engine.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

constexpr std::uint16_t kShort = 3, kLong = 4;

// SOI + the given segments + a minimal scan holding `inScan`, enough for the walker.
ByteVector jpegWith(const std::vector<Marker>& segments, const ByteVector& inScan = {}) {
  ByteVector out = {0xFF, 0xD8};
  for (const Marker& m : segments) {
    const std::size_t length = m.payload.size() + 2;
    out.insert(out.end(),
               {0xFF, static_cast<std::uint8_t>(m.code), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length)});
    out.insert(out.end(), m.payload.begin(), m.payload.end());
  }
  out.insert(out.end(), {0xFF, 0xDA, 0x00, 0x02});
  out.insert(out.end(), inScan.begin(), inScan.end());
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

// The four dimension fields get the new size, IFD1 is unlinked (its bytes
// stay) and no other byte changes.
TEST(RepairExif, WritesTheDimensionFieldsAndDetachesIFD1) {
  struct Case {
    bool littleEndian;
    std::uint16_t type;
    std::uint32_t count;
    int width;
    std::uint32_t expectWidth, expectHeight;
  };
  const Case cases[] = {
      {true, kLong, 1, 5280, 5280, 3520},
      {false, kShort, 1, 5280, 5280, 3520},
      {true, kShort, 1, 65535, 65535, 3520},
      {false, kShort, 1, 65536, 6000, 3520},  // a SHORT cannot hold 65 536: kept, still counted
      {true, kLong, 2, 5280, 6000, 4000},     // not a single value: counted, not written
  };
  for (const Case& c : cases) {
    const auto exif = [&](std::uint32_t width, std::uint32_t height, bool linkIFD1) {
      return jpegWith({{0xE1, makeExif({.littleEndian = c.littleEndian,
                                        .ifd0 = {{0x0100, c.type, c.count, width},
                                                 {0x0101, c.type, c.count, height},
                                                 {0x0112, kShort, 1, 6}},
                                        .exifIFD = {{0x9000, 7, 4, 0x30323330},
                                                    {0xA002, c.type, c.count, width},
                                                    {0xA003, c.type, c.count, height}},
                                        .linkIFD1 = linkIFD1})}});
    };
    ByteVector jpeg = exif(6000, 4000, true);
    EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), c.width, 3520), 4);
    EXPECT_EQ(jpeg, exif(c.expectWidth, c.expectHeight, false))
        << (c.littleEndian ? "II" : "MM") << " type " << c.type << " count " << c.count << " width "
        << c.width;
  }
}

// Hostile and foreign data: how many fields are found; with none, no byte changes.
TEST(RepairExif, WalkRules) {
  // IFD0 with ImageWidth and the Exif IFD link, the Exif IFD with
  // PixelXDimension, IFD1: 114 bytes of TIFF; `bytes` overwrite the payload at `at`.
  const auto exifWith = [](bool le, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    ByteVector exif = makeExif({.littleEndian = le,
                                .ifd0 = {{0x0100, kLong, 1, 6000}},
                                .exifIFD = {{0xA002, kLong, 1, 6000}}});
    std::copy(bytes.begin(), bytes.end(), exif.begin() + static_cast<long>(at));
    return jpegWith({{0xE1, exif}});
  };
  const ByteVector plain = exifWith(true, 0, {});
  const ByteVector app1(plain.begin() + 2, plain.end() - 6);  // without SOI and the scan
  ByteVector fillBytes = {0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0x01, 0xFF, 0xFF, 0xFF};
  fillBytes.insert(fillBytes.end(), plain.begin() + 3, plain.end());  // continues "E1 <length>"
  struct Case {
    const char* what;
    ByteVector data;
    int found;
  };
  const Case cases[] = {
      {"fill bytes and markers without length first", fillBytes, 2},
      {"Exif segments in both byte orders before the scan, one in it",
       jpegWith({{0xE0, ByteVector{'J', 'F', 'I', 'F', 0}},
                 {0xE1, makeExif({.exifIFD = {{0xA002, kLong, 1, 1}}})},
                 {0xFE, ByteVector{'x'}},
                 {0xE1, makeExif({.littleEndian = false, .exifIFD = {{0xA003, kShort, 1, 1}}})}},
                app1),
       2},
      {"MM with magic 43", exifWith(false, 6 + 3, {43}), 0},
      {"byte order XI", exifWith(true, 6, {'X'}), 0},
      {"XMP APP1", jpegWith({{0xE1, ByteVector{'h', 't', 't', 'p', ':', '/', '/'}}}), 0},
      {"SOI and a lone FF", ByteVector{0xFF, 0xD8, 0xFF}, 0},
      // Nothing is touched, not even IFD1's link.
      {"IFD0 one entry longer than the TIFF holds", exifWith(true, 6 + 8, {9}), 0},
      {"segment longer than the buffer", ByteVector(plain.begin(), plain.end() - 20), 0},
      // IFD0 is still repaired.
      {"Exif IFD beyond the TIFF", exifWith(true, kExifIFDLink + 8, {0xF0, 0xF0}), 1},
      {"Exif IFD link not a LONG", exifWith(true, kExifIFDLink + 2, {kShort}), 1},
  };
  for (const Case& c : cases) {
    ByteVector data = c.data;
    EXPECT_EQ(mc_jpeg_repair_exif(data.data(), data.size(), 800, 600), c.found) << c.what;
    EXPECT_TRUE(c.found != 0 || data == c.data) << c.what << ": changed";
  }
  EXPECT_EQ(mc_jpeg_repair_exif(nullptr, 0, 1, 1), 0);
}

TEST(ExifOrientation, ReadsOneShortOfIFD0) {
  const std::pair<TiffOptions, std::optional<int>> cases[] = {
      {{false, {{0x0100, kLong, 1, 9}, {0x0112, kShort, 1, 8}}}, 8},
      {{true, {{0x0112, kShort, 1, 42}}}, 42},          // not range-checked
      {{true, {{0x0112, kLong, 1, 6}}}, std::nullopt},  // not a SHORT
      {{true, {{0x0112, kShort, 2, 6}}}, std::nullopt},
  };
  for (const auto& [tiff, expected] : cases) {
    EXPECT_EQ(exif::orientation(jpegWith({{0xE1, makeExif(tiff)}})), expected);
  }
  EXPECT_EQ(exif::orientation(jpegWith({})), std::nullopt);
  // The minimal segment of the focus previews round-trips; 9 is written as 1.
  for (int o = 1; o <= 9; ++o) {
    EXPECT_EQ(exif::orientation(jpegWith({{0xE1, exif::orientationSegment(o)}})), o == 9 ? 1 : o);
  }
}

std::string exiftool(const std::string& arguments, const std::filesystem::path& file) {
  return run("exiftool -s3 -n " + arguments + " " + quote(file)).value_or("(exiftool failed)");
}

// Camera EXIF in both byte orders with LONG and SHORT fields, after the
// engine's crop: the new size is read back, IFD1 is gone and its thumbnail
// bytes are not.
TEST(RepairExif, CameraExifAsExiftoolReadsIt) {
  KESTREL_REQUIRE_TEST_DATA(data);
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  const testing::TempDir dir;
  JPEGEngine engine;
  for (const char* name : {kIntelShort, kIntelLong, kMotorolaShort, kMotorolaLong}) {
    const ByteVector original = readBytes(data / name);
    const JPEGInfo info = engine.header(original);
    const PixelRect r{info.mcuWidth * 4, info.mcuHeight * 2, info.width / 2, info.height / 3};
    const Bytes cropped = engine.crop(original, r);
    writeBytes(dir / "crop.jpg", cropped.span());
    EXPECT_EQ(exiftool("-EXIF:ExifImageWidth -EXIF:ExifImageHeight -IFD1:all", dir / "crop.jpg"),
              std::to_string(r.width) + "\n" + std::to_string(r.height) + "\n")
        << name;
    const std::string bytes(reinterpret_cast<const char*>(cropped.data()), cropped.size());
    EXPECT_NE(bytes.find(exiftool("-b -ThumbnailImage", data / name)), std::string::npos)
        << name << ": the thumbnail bytes stay in the file";
  }
  // A SHORT cannot hold 70 000: left as it was, still counted.
  for (const auto& [name, width] : {std::pair{kIntelShort, "6000"}, {kMotorolaShort, "5760"}}) {
    ByteVector bytes = readBytes(data / name);
    EXPECT_EQ(mc_jpeg_repair_exif(bytes.data(), bytes.size(), 70000, 1234), 2) << name;
    writeBytes(dir / "x.jpg", bytes);
    EXPECT_EQ(exiftool("-EXIF:ExifImageWidth -EXIF:ExifImageHeight", dir / "x.jpg"),
              std::string(width) + "\n1234\n")
        << name;
  }
}

}  // namespace
}  // namespace kestrel
