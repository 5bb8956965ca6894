// SPDX-License-Identifier: MIT
// The mc_jpeg codec layer: four JPEG operations that never re-encode image
// data (header, lossless crop, grayscale region decode, EXIF dimension
// repair), as C-style functions over a caller-owned context.
//
// Conventions: functions return 0 on success and −1 on failure. `message`
// receives a NUL-terminated text truncated to `messageSize` (nothing is
// written when the size is 0). On failure every output pointer is null and
// every output size 0, and nothing is leaked. Buffers handed out are owned
// by the caller and released with mc_jpeg_free. A context is not
// thread-safe; different contexts may be used concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

struct mc_jpeg_context;

struct mc_jpeg_header_info {
  std::int32_t width;
  std::int32_t height;
  std::int32_t subsampling;  // 0 4:4:4, 1 4:2:2, 2 4:2:0, 3 gray, 4 4:4:0, 5 4:1:1, 6 4:4:1
  std::int32_t mcuWidth;
  std::int32_t mcuHeight;
};

// A new context, or null when it cannot be created (no message).
mc_jpeg_context* mc_jpeg_create() noexcept;
// Null is ignored.
void mc_jpeg_destroy(mc_jpeg_context* context) noexcept;

// Reads the header. Fails with the libjpeg text for unreadable data and with
// "Unsupported JPEG chroma subsampling" for sampling outside the seven codes.
// Applies no size limit. A frame of zero width or height (which libjpeg
// cannot decode) fails with mc_jpeg_empty_frame instead of −1, so that the
// caller can give it the message of its own size rule.
inline constexpr int mc_jpeg_empty_frame = -2;
int mc_jpeg_header(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize,
                   mc_jpeg_header_info* header, char* message, std::size_t messageSize) noexcept;

// Lossless crop of the region (x, y, width, height), which must lie inside
// the image, with x a multiple of the MCU width and y of the MCU height.
// All APPn and COM markers are copied. On success `output` receives a new
// JPEG of exactly width × height pixels.
int mc_jpeg_crop(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize, int x,
                 int y, int width, int height, std::uint8_t** output, std::size_t* outputSize,
                 char* message, std::size_t messageSize) noexcept;

// Releases a buffer returned by mc_jpeg_crop or mc_jpeg_gray_roi; null is ignored.
void mc_jpeg_free(std::uint8_t* buffer) noexcept;

// Decodes the region as 8-bit grayscale at scale 1/scaleDenominator (1, 2,
// 4 or 8). The patch spans scaled columns [left, right) and rows [top, bottom)
// with left = ((x/d)/m)·m for the scaled MCU width m, right = ceil((x+width)/d),
// top = y/d, bottom = ceil((y+height)/d); rows are outWidth bytes, no padding.
// Fails when either side exceeds 4096 scaled pixels.
int mc_jpeg_gray_roi(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize,
                     int x, int y, int width, int height, int scaleDenominator,
                     std::uint8_t** pixels, int* outWidth, int* outHeight, char* message,
                     std::size_t messageSize) noexcept;

// Writes width and height into the EXIF dimension fields of every APP1 Exif
// segment before the first scan and detaches IFD1; edits in place. Returns
// the number of dimension fields found. Never fails; never touches a byte
// outside [jpeg, jpeg + jpegSize).
int mc_jpeg_repair_exif(std::uint8_t* jpeg, std::size_t jpegSize, int width, int height) noexcept;

}  // namespace kestrel
