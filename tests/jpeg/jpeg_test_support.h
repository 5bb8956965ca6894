// SPDX-License-Identifier: MIT
// Helpers of the JPEG tests: small synthetic JPEGs made with libjpeg, full
// reference decodes, EXIF segment builders and the external tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::jpegtest {

using ByteVector = std::vector<std::uint8_t>;

struct Factors {
  int h = 1;
  int v = 1;
};

// Luma factors for the usual layouts (chroma 1×1), by subsampling code.
std::vector<Factors> factorsFor(int subsamplingCode);

struct Marker {
  int code;  // e.g. 0xE1
  ByteVector payload;
};

struct SyntheticSpec {
  int width = 96;
  int height = 64;
  std::vector<Factors> factors = {{2, 2}, {1, 1}, {1, 1}};  // one entry per component
  int quality = 90;
  bool progressive = false;
  int restartRows = 0;
  bool writeJFIF = true;
  bool cmyk = false;            // four components, stored values as given (Adobe marker written)
  std::vector<Marker> markers;  // written right after SOI/JFIF, in order
  unsigned seed = 1;
};

// A textured synthetic picture encoded with libjpeg.
ByteVector makeJPEG(const SyntheticSpec& spec);
// Encodes the given pixels (width × height × components) with the spec's settings.
ByteVector makeJPEGFromPixels(const SyntheticSpec& spec, const ByteVector& pixels);
// The pixels that makeJPEG encodes (width × height × components).
ByteVector syntheticPixels(const SyntheticSpec& spec);

struct Decoded {
  int width = 0;
  int height = 0;
  int components = 0;
  ByteVector pixels;

  const std::uint8_t* at(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * components;
  }
};

enum class DecodeAs { gray, ycc, rgb };

// Full decode with libjpeg at scale 1/denominator; chroma is replicated,
// not interpolated, so that every pixel depends on its own block only.
// Throws std::runtime_error on any libjpeg error or warning.
Decoded decode(std::span<const std::uint8_t> jpeg, DecodeAs as, int denominator = 1);

// APP1 payload "Exif\0\0" + TIFF assembled from IFDs (see exif tests).
struct Entry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::uint32_t value;  // SHORT values are left-justified in the field
};
struct TiffSpec {
  bool littleEndian = true;
  std::vector<Entry> ifd0;
  std::vector<Entry> exifIFD;  // linked from IFD0 with 0x8769 when not empty
  bool withIFD1 = true;        // IFD1 with a few thumbnail tags + 16 thumbnail bytes
};
struct TiffLayout {
  ByteVector payload;                                          // "Exif\0\0" + TIFF
  std::size_t ifd0 = 0, exifIFD = 0, ifd1 = 0, thumbnail = 0;  // offsets inside the TIFF
};
TiffLayout makeExif(const TiffSpec& spec);

// Reads a 16/32-bit value of a TIFF in its byte order.
std::uint32_t tiffValue(std::span<const std::uint8_t> tiff, std::size_t at, int bytes,
                        bool littleEndian);

// Marker segments before the first scan: (code, payload) in order.
std::vector<Marker> markersOf(std::span<const std::uint8_t> jpeg);

ByteVector readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data);

bool haveTool(const std::string& name);
// Runs a shell command; returns its standard output, or nothing on failure.
std::optional<std::string> run(const std::string& command);
std::string quote(const std::filesystem::path& path);

}  // namespace kestrel::jpegtest
