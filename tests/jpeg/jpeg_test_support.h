// SPDX-License-Identifier: MIT
// Helpers of the JPEG tests: synthetic JPEGs made with libjpeg, reference
// decodes, hand-built EXIF segments, the shared photos and external tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::jpegtest {

using ByteVector = std::vector<std::uint8_t>;
using Sampling = std::vector<std::pair<int, int>>;  // h, v factors of each component

// By subsampling code: 4:4:4, 4:2:2, 4:2:0, gray, 4:4:0, 4:1:1, 4:4:1.
inline const Sampling kSamplingByCode[] = {
    {{1, 1}, {1, 1}, {1, 1}}, {{2, 1}, {1, 1}, {1, 1}}, {{2, 2}, {1, 1}, {1, 1}}, {{1, 1}},
    {{1, 2}, {1, 1}, {1, 1}}, {{4, 1}, {1, 1}, {1, 1}}, {{1, 4}, {1, 1}, {1, 1}}};

struct Marker {
  int code;  // e.g. 0xE1
  ByteVector payload;
};

struct JPEGOptions {
  int width = 96;
  int height = 64;
  Sampling factors = kSamplingByCode[2];
  int quality = 90;
  bool progressive = false;
  int restartRows = 0;
  bool writeJFIF = true;
  bool cmyk = false;            // four components stored as given (Adobe marker written)
  std::vector<Marker> markers;  // written right after SOI/JFIF
};

// Encodes `pixels` (width × height × components), or a texture with hard
// edges when empty.
ByteVector makeJPEG(const JPEGOptions& options, const ByteVector& pixels = {});
// Sets the size in the SOF: a small file stands in for a huge one wherever
// only the header is read.
ByteVector withFrameSize(ByteVector jpeg, int width, int height);
// Payload of the first segment with this marker before the scan.
ByteVector segment(std::span<const std::uint8_t> jpeg, int code);

struct Decoded {
  int width = 0, height = 0, components = 0;
  ByteVector pixels;
  const std::uint8_t* at(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * components;
  }
};
enum class DecodeAs { gray, ycc, rgb };
// Full libjpeg decode at 1/denominator with replicated (not interpolated)
// chroma, so every pixel depends on its own block only. Throws on warnings.
Decoded decode(std::span<const std::uint8_t> jpeg, DecodeAs as, int denominator = 1);
// Rows where `part` differs from the rectangle of `full` at (x, y).
int differingRows(const Decoded& part, const Decoded& full, int x, int y);

// APP1 payload "Exif\0\0" + TIFF: IFD0, the Exif IFD (linked with 0x8769
// when not empty), then IFD1 with three thumbnail tags and 16 thumbnail bytes.
struct Entry {
  std::uint16_t tag, type;  // type 3 SHORT, 4 LONG
  std::uint32_t count, value;
};
struct TiffOptions {
  bool littleEndian = true;
  std::vector<Entry> ifd0, exifIFD;
  bool linkIFD1 = true;  // IFD0's next-IFD pointer, as a repair leaves it when false
};
ByteVector makeExif(const TiffOptions& options);
inline constexpr std::size_t kExifIFDLink = 6 + 8 + 2 + 12;  // with one IFD0 entry

// The CropError text thrown by `action`, or "" when it throws none.
std::string errorOf(const std::function<void()>& action);

ByteVector readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data);
// A shell command's standard output, or nothing when it fails.
std::optional<std::string> run(const std::string& command);
bool haveTool(const std::string& name);
std::string quote(const std::filesystem::path& path);

inline const ByteVector kPNGStart = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
inline const std::string kNotAJPEG = "Not a JPEG file: starts with 0x89 0x50";

// Shared photos (KESTREL_TEST_DATA) with camera EXIF, by byte order and
// the TIFF type of their pixel-dimension fields.
inline constexpr const char* kIntelShort = "race-large/0009-IMG_0027.JPG";
inline constexpr const char* kIntelLong = "race-small/0009-IMG_0027.JPG";
inline constexpr const char* kMotorolaShort = "variants/0057-IMG_0080/exif-bigendian.jpg";
inline constexpr const char* kMotorolaLong = "other/darknet-dog.jpg";  // 4:4:0, restarts

}  // namespace kestrel::jpegtest
