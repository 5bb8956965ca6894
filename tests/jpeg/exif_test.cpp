// SPDX-License-Identifier: MIT
// mc_jpeg_repair_exif and the Orientation reader on hand-built EXIF
// segments: byte orders, field types, the sub-IFD, IFD1 and the walk rules.
#include "core/jpeg/exif.h"

#include <gtest/gtest.h>

#include <set>

#include "core/jpeg/mc_jpeg.h"
#include "tests/jpeg/jpeg_test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

constexpr std::uint16_t kShort = 3, kLong = 4;

// SOI + the given segments + a minimal scan start, enough for the walker.
ByteVector jpegWith(const std::vector<Marker>& segments) {
  ByteVector out = {0xFF, 0xD8};
  for (const Marker& m : segments) {
    const std::size_t length = m.payload.size() + 2;
    out.insert(out.end(),
               {0xFF, static_cast<std::uint8_t>(m.code), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length)});
    out.insert(out.end(), m.payload.begin(), m.payload.end());
  }
  out.insert(out.end(), {0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34, 0xFF, 0xD9});
  return out;
}

// Offset of the TIFF data of the first APP1 segment built by jpegWith.
constexpr std::size_t kTiffStart = 2 + 4 + 6;

struct RepairCase {
  const char* name;
  bool littleEndian;
  std::uint16_t type;
  std::uint32_t count;
  int width, height;
  std::uint32_t expectWidth, expectHeight;  // values read back from all four fields
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.name; }

class RepairExif : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairExif, WritesDimensionFieldsAndDetachesIFD1) {
  const RepairCase& c = GetParam();
  const TiffLayout exif = makeExif({.littleEndian = c.littleEndian,
                                    .ifd0 = {{0x0100, c.type, c.count, 6000},
                                             {0x0101, c.type, c.count, 4000},
                                             {0x0112, kShort, 1, 6}},
                                    .exifIFD = {{0x9000, 7, 4, 0x30323330},
                                                {0xA002, c.type, c.count, 6000},
                                                {0xA003, c.type, c.count, 4000}}});
  const ByteVector original = jpegWith({{0xE1, exif.payload}});
  ByteVector jpeg = original;
  EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), c.width, c.height), 4);

  const std::span<const std::uint8_t> tiff(jpeg.data() + kTiffStart, exif.payload.size() - 6);
  const int bytes = c.type == kLong ? 4 : 2;
  const auto field = [&](std::size_t ifd, int index) {
    return tiffValue(tiff, ifd + 2 + 12 * static_cast<std::size_t>(index) + 8, bytes,
                     c.littleEndian);
  };
  EXPECT_EQ(field(exif.ifd0, 0), c.expectWidth);
  EXPECT_EQ(field(exif.ifd0, 1), c.expectHeight);
  EXPECT_EQ(field(exif.exifIFD, 1), c.expectWidth);
  EXPECT_EQ(field(exif.exifIFD, 2), c.expectHeight);
  // IFD0's next pointer (after its four entries) is cleared; the thumbnail stays.
  EXPECT_EQ(tiffValue(tiff, exif.ifd0 + 2 + 4 * 12, 4, c.littleEndian), 0u);
  EXPECT_EQ(std::string(tiff.begin() + static_cast<long>(exif.thumbnail),
                        tiff.begin() + static_cast<long>(exif.thumbnail) + 16),
            "THUMBNAIL-BYTES!");

  // Nothing but the four value fields and the next pointer changed.
  std::set<std::size_t> allowed;
  for (const std::size_t at : {exif.ifd0 + 2 + 8, exif.ifd0 + 14 + 8, exif.exifIFD + 14 + 8,
                               exif.exifIFD + 26 + 8, exif.ifd0 + 2 + 48}) {
    for (std::size_t i = 0; i < 4; ++i) allowed.insert(kTiffStart + at + i);
  }
  for (std::size_t i = 0; i < jpeg.size(); ++i) {
    if (jpeg[i] != original[i]) {
      EXPECT_TRUE(allowed.count(i)) << "byte " << i << " changed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RepairExif,
    ::testing::Values(RepairCase{"intelLong", true, kLong, 1, 5280, 3520, 5280, 3520},
                      RepairCase{"motorolaLong", false, kLong, 1, 5280, 3520, 5280, 3520},
                      RepairCase{"intelShort", true, kShort, 1, 5280, 3520, 5280, 3520},
                      RepairCase{"motorolaShort", false, kShort, 1, 5280, 3520, 5280, 3520},
                      // A SHORT cannot hold 70 000: left as it was, still counted.
                      RepairCase{"intelShortTooWide", true, kShort, 1, 70000, 3520, 6000, 3520},
                      RepairCase{"motorolaShortTooWide", false, kShort, 1, 70000, 3520, 6000, 3520},
                      RepairCase{"longTooWideForShort", true, kLong, 1, 70000, 3520, 70000, 3520},
                      // Not a single value: counted, not written.
                      RepairCase{"countTwo", true, kLong, 2, 5280, 3520, 6000, 4000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RepairExifWalk, RepairsEveryExifSegmentBeforeTheScanOnly) {
  const TiffLayout le = makeExif({.littleEndian = true, .exifIFD = {{0xA002, kLong, 1, 1}}});
  const TiffLayout be = makeExif({.littleEndian = false, .exifIFD = {{0xA003, kShort, 1, 1}}});
  ByteVector jpeg = jpegWith({{0xE0, ByteVector{'J', 'F', 'I', 'F', 0}},
                              {0xE1, le.payload},
                              {0xFE, ByteVector{'x'}},
                              {0xE1, be.payload}});
  // A third Exif segment after the start of scan is entropy data, not a header.
  const std::size_t scanEnd = jpeg.size() - 2;
  jpeg.insert(jpeg.begin() + static_cast<long>(scanEnd), {0xFF, 0xE1, 0x00, 0x30});
  const ByteVector afterScan(jpeg.begin() + static_cast<long>(scanEnd), jpeg.end());
  EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 2);
  EXPECT_EQ(ByteVector(jpeg.begin() + static_cast<long>(scanEnd), jpeg.end()), afterScan);
}

TEST(RepairExifWalk, SkipsFillBytesAndMarkersWithoutLength) {
  const TiffLayout exif = makeExif({.littleEndian = true, .exifIFD = {{0xA002, kLong, 1, 1}}});
  ByteVector jpeg = {0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0x01, 0xFF, 0xFF, 0xFF};
  const ByteVector rest = jpegWith({{0xE1, exif.payload}});
  jpeg.insert(jpeg.end(), rest.begin() + 3, rest.end());  // continue with "E1 <length> …"
  EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 1);
}

TEST(RepairExifWalk, LeavesOtherDataAlone) {
  TiffLayout wrongMagic = makeExif({.littleEndian = true, .exifIFD = {{0xA002, kLong, 1, 1}}});
  wrongMagic.payload[6 + 2] = 43;
  TiffLayout wrongOrder = makeExif({.littleEndian = true, .exifIFD = {{0xA002, kLong, 1, 1}}});
  wrongOrder.payload[6] = 'X';
  const ByteVector cases[] = {
      jpegWith({}),
      jpegWith({{0xE1, wrongMagic.payload}}),
      jpegWith({{0xE1, wrongOrder.payload}}),
      jpegWith({{0xE1, ByteVector{'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.', 'a', 'd', 'o',
                                  'b', 'e'}}}),
      ByteVector{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
      ByteVector{0xFF, 0xD8, 0xFF},
  };
  for (const ByteVector& original : cases) {
    ByteVector jpeg = original;
    EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 0);
    EXPECT_EQ(jpeg, original);
  }
  EXPECT_EQ(mc_jpeg_repair_exif(nullptr, 0, 1, 1), 0);
}

TEST(RepairExifWalk, StopsAtMalformedDirectories) {
  // IFD0 entry count larger than the TIFF: nothing is touched, not even IFD1's link.
  TiffLayout exif = makeExif({.littleEndian = true,
                              .ifd0 = {{0x0100, kLong, 1, 6000}},
                              .exifIFD = {{0xA002, kLong, 1, 6000}}});
  exif.payload[6 + exif.ifd0] = 0xFF;
  ByteVector jpeg = jpegWith({{0xE1, exif.payload}});
  ByteVector original = jpeg;
  EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 0);
  EXPECT_EQ(jpeg, original);

  // A sub-IFD pointer outside the TIFF, or not a LONG: IFD0 is still repaired.
  for (const std::uint16_t type : {kLong, kShort}) {
    exif = makeExif({.littleEndian = true,
                     .ifd0 = {{0x0100, kLong, 1, 6000}},
                     .exifIFD = {{0xA002, kLong, 1, 6000}}});
    const std::size_t pointer = 6 + exif.ifd0 + 2 + 12;  // second entry of IFD0
    if (type == kLong) {
      exif.payload[pointer + 8] = 0xF0;
      exif.payload[pointer + 9] = 0xFF;
    } else {
      exif.payload[pointer + 2] = kShort;
    }
    jpeg = jpegWith({{0xE1, exif.payload}});
    EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 1);
  }

  // A segment length running past the end of the buffer ends the walk.
  exif = makeExif({.littleEndian = true, .ifd0 = {{0x0100, kLong, 1, 6000}}});
  jpeg = jpegWith({{0xE1, exif.payload}});
  jpeg.resize(kTiffStart + exif.payload.size() - 10);
  original = jpeg;
  EXPECT_EQ(mc_jpeg_repair_exif(jpeg.data(), jpeg.size(), 800, 600), 0);
  EXPECT_EQ(jpeg, original);
}

TEST(ExifOrientation, ReadsTheShortTagOfIFD0) {
  struct Case {
    bool littleEndian;
    std::vector<Entry> ifd0;
    std::optional<int> expected;
  };
  const Case cases[] = {
      {true, {{0x0112, kShort, 1, 6}}, 6},
      {false, {{0x0100, kLong, 1, 9}, {0x0112, kShort, 1, 8}}, 8},
      {true, {{0x0112, kShort, 1, 0}}, 0},  // not range-checked
      {true, {{0x0112, kShort, 1, 42}}, 42},
      {true, {{0x0112, kLong, 1, 6}}, std::nullopt},  // not a SHORT
      {true, {{0x0112, kShort, 2, 6}}, std::nullopt},
      {true, {{0x0100, kLong, 1, 6}}, std::nullopt},
  };
  for (const Case& c : cases) {
    const ByteVector jpeg =
        jpegWith({{0xE1, makeExif({c.littleEndian, c.ifd0, {}, true}).payload}});
    EXPECT_EQ(exif::orientation(jpeg), c.expected);
  }
  EXPECT_EQ(exif::orientation(jpegWith({})), std::nullopt);
}

TEST(ExifOrientation, MinimalSegmentRoundTrips) {
  for (int o = 1; o <= 8; ++o) {
    EXPECT_EQ(exif::orientation(jpegWith({{0xE1, exif::orientationSegment(o)}})), o);
  }
  EXPECT_EQ(exif::orientation(jpegWith({{0xE1, exif::orientationSegment(9)}})), 1);
}

}  // namespace
}  // namespace kestrel
