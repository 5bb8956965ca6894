// SPDX-License-Identifier: MIT
#include "core/jpeg/detail/exif.h"

#include <cstring>

#include "core/jpeg/detail/jpeg_markers.h"

namespace kestrel::exif {

namespace {

constexpr std::uint16_t kImageWidth = 0x0100;
constexpr std::uint16_t kImageLength = 0x0101;
constexpr std::uint16_t kOrientation = 0x0112;
constexpr std::uint16_t kExifIFDPointer = 0x8769;
constexpr std::uint16_t kPixelXDimension = 0xA002;
constexpr std::uint16_t kPixelYDimension = 0xA003;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::size_t kEntrySize = 12;

// TIFF data of one Exif segment. Callers check every offset against
// `length` before reading or writing.
template <typename Byte>
struct Tiff {
  Byte* data;
  std::size_t length;
  bool littleEndian;

  std::uint16_t u16(std::size_t at) const {
    const unsigned a = data[at], b = data[at + 1];
    return static_cast<std::uint16_t>(littleEndian ? a | b << 8 : a << 8 | b);
  }
  std::uint32_t u32(std::size_t at) const {
    const std::uint32_t a = data[at], b = data[at + 1], c = data[at + 2], d = data[at + 3];
    return littleEndian ? a | b << 8 | c << 16 | d << 24 : a << 24 | b << 16 | c << 8 | d;
  }
  void put16(std::size_t at, std::uint32_t v) const {
    const auto lo = static_cast<std::uint8_t>(v), hi = static_cast<std::uint8_t>(v >> 8);
    data[at] = littleEndian ? lo : hi;
    data[at + 1] = littleEndian ? hi : lo;
  }
  void put32(std::size_t at, std::uint32_t v) const {
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t shift = littleEndian ? 8 * i : 8 * (3 - i);
      data[at + i] = static_cast<std::uint8_t>(v >> shift);
    }
  }
};

// Offset of the entry table of the IFD at `offset` and its entry count, or
// nothing when the directory does not fit inside the TIFF data.
template <typename Byte>
std::optional<std::size_t> entryCount(const Tiff<Byte>& tiff, std::uint32_t offset) {
  if (offset < 8 || offset > tiff.length || tiff.length - offset < 2) return std::nullopt;
  const std::size_t count = tiff.u16(offset);
  if ((tiff.length - offset - 2) / kEntrySize < count) return std::nullopt;
  return count;
}

// Calls visit(tiff, firstIFDOffset) for each APP1 Exif segment before the
// first scan whose TIFF header is valid ("II" + 42 little-endian or "MM" +
// 42 big-endian); stops early when visit returns false. The TIFF data
// follows "Exif\0\0" and is the segment length − 8 bytes long.
template <typename Byte, typename Visit>
void forEachExifSegment(Byte* jpeg, std::size_t n, Visit&& visit) {
  jpegmarkers::forEachSegment(jpeg, n, [&](unsigned marker, Byte* payload, std::size_t length) {
    if (marker != 0xE1 || length < 14 || std::memcmp(payload, "Exif\0\0", 6) != 0) return true;
    Byte* start = payload + 6;
    const bool intel = start[0] == 'I' && start[1] == 'I' && start[2] == 42 && start[3] == 0;
    const bool motorola = start[0] == 'M' && start[1] == 'M' && start[2] == 0 && start[3] == 42;
    if (!intel && !motorola) return true;
    const Tiff<Byte> tiff{start, length - 6, intel};
    return visit(tiff, tiff.u32(4));
  });
}

void writeDimension(const Tiff<std::uint8_t>& tiff, std::size_t entry, std::int64_t value) {
  const std::uint16_t type = tiff.u16(entry + 2);
  if (tiff.u32(entry + 4) != 1 || value < 0) return;
  if (type == kTypeLong && value <= 0xFFFFFFFF) {
    tiff.put32(entry + 8, static_cast<std::uint32_t>(value));
  } else if (type == kTypeShort && value < 65536) {
    tiff.put16(entry + 8, static_cast<std::uint32_t>(value));
  }
}

int repairIFD(const Tiff<std::uint8_t>& tiff, std::uint32_t offset, std::int64_t width,
              std::int64_t height, bool topLevel) {
  const auto count = entryCount(tiff, offset);
  if (!count) return 0;
  int found = 0;
  for (std::size_t i = 0; i < *count; ++i) {
    const std::size_t entry = offset + 2 + i * kEntrySize;
    const std::uint16_t tag = tiff.u16(entry);
    if (tag == kImageWidth || tag == kPixelXDimension) {
      ++found;
      writeDimension(tiff, entry, width);
    } else if (tag == kImageLength || tag == kPixelYDimension) {
      ++found;
      writeDimension(tiff, entry, height);
    } else if (tag == kExifIFDPointer && topLevel) {
      if (tiff.u16(entry + 2) == kTypeLong && tiff.u32(entry + 4) == 1) {
        found += repairIFD(tiff, tiff.u32(entry + 8), width, height, false);
      }
    }
  }
  if (topLevel) {
    // Detach IFD1: its thumbnail no longer shows the cropped picture. The
    // bytes stay in the file; only the chain pointer is cleared.
    const std::size_t next = offset + 2 + *count * kEntrySize;
    if (next + 4 <= tiff.length) tiff.put32(next, 0);
  }
  return found;
}

}  // namespace

int repairDimensions(std::uint8_t* jpeg, std::size_t size, std::int64_t width,
                     std::int64_t height) {
  int found = 0;
  forEachExifSegment(jpeg, size, [&](const Tiff<std::uint8_t>& tiff, std::uint32_t ifd0) {
    found += repairIFD(tiff, ifd0, width, height, true);
    return true;
  });
  return found;
}

void setPixelDimensionsAsTransformed(std::uint8_t* data, std::size_t length, std::uint32_t width,
                                     std::uint32_t height) {
  if (data == nullptr || length < kEntrySize) return;
  const bool intel = data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0;
  const bool motorola = data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42;
  if (!intel && !motorola) return;
  const Tiff<std::uint8_t> tiff{data, length, intel};
  // Rules of the libjpeg tools: entries are read while a whole entry fits;
  // the Exif pointer is taken whatever its type; a sub-IFD with fewer than
  // two entries is left alone.
  const std::uint32_t ifd0 = tiff.u32(4);
  if (ifd0 > length - 2) return;
  std::optional<std::uint32_t> exifIFD;
  std::size_t entry = ifd0 + 2;
  for (std::size_t count = tiff.u16(ifd0); count > 0; --count, entry += kEntrySize) {
    if (entry > length - kEntrySize) return;
    if (tiff.u16(entry) == kExifIFDPointer) {
      exifIFD = tiff.u32(entry + 8);
      break;
    }
  }
  if (!exifIFD || *exifIFD > length - 2) return;
  const std::size_t count = tiff.u16(*exifIFD);
  if (count < 2) return;
  entry = *exifIFD + 2;
  for (std::size_t i = 0; i < count; ++i, entry += kEntrySize) {
    if (entry > length - kEntrySize) return;
    const std::uint16_t tag = tiff.u16(entry);
    if (tag == kPixelXDimension || tag == kPixelYDimension) {
      tiff.put16(entry + 2, kTypeLong);
      tiff.put32(entry + 4, 1);
      tiff.put32(entry + 8, tag == kPixelXDimension ? width : height);
    }
  }
}

std::optional<int> orientation(std::span<const std::uint8_t> jpeg) {
  std::optional<int> result;
  forEachExifSegment(jpeg.data(), jpeg.size(),
                     [&](const Tiff<const std::uint8_t>& tiff, std::uint32_t ifd0) {
                       const auto count = entryCount(tiff, ifd0);
                       for (std::size_t i = 0; count && i < *count; ++i) {
                         const std::size_t entry = ifd0 + 2 + i * kEntrySize;
                         if (tiff.u16(entry) == kOrientation && tiff.u16(entry + 2) == kTypeShort &&
                             tiff.u32(entry + 4) == 1) {
                           result = tiff.u16(entry + 8);
                           return false;
                         }
                       }
                       return true;
                     });
  return result;
}

std::vector<std::uint8_t> orientationSegment(int orientation) {
  const auto value =
      static_cast<std::uint8_t>(orientation >= 1 && orientation <= 8 ? orientation : 1);
  return {'E', 'x', 'i', 'f', 0, 0,
          // TIFF header: big-endian, magic 42, IFD0 at offset 8.
          'M', 'M', 0, 42, 0, 0, 0, 8,
          // IFD0: one entry, Orientation SHORT ×1, value left-justified.
          0, 1, 0x01, 0x12, 0, kTypeShort, 0, 0, 0, 1, 0, value, 0, 0,
          // No next IFD.
          0, 0, 0, 0};
}

}  // namespace kestrel::exif
