// SPDX-License-Identifier: MIT
// JPEGEngine: one worker's JPEG codec context with the system's checks and
// ownership rules on top of the mc_jpeg layer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "core/base/bytes.h"
#include "core/base/geometry.h"
#include "core/base/image.h"
#include "core/base/jpeg_info.h"

namespace kestrel {

struct mc_jpeg_context;

// Owns one codec context for the life of a worker; move-only, never shared
// between threads. Every failure is a CropError with the codec's message or
// the system's own text. Bytes and patches returned own their codec buffers
// and may outlive the engine.
class JPEGEngine {
 public:
  // Throws CropError "无法创建 TurboJPEG 引擎" when the context cannot be made.
  JPEGEngine();
  ~JPEGEngine();
  JPEGEngine(JPEGEngine&&) noexcept;
  JPEGEngine& operator=(JPEGEngine&&) noexcept;

  // Header facts; rejects a width or height below 1 and more than
  // 140 000 000 pixels.
  JPEGInfo header(std::span<const std::uint8_t> data);
  JPEGInfo header(const Bytes& data) { return header(data.span()); }

  // Lossless crop of a raw-space rectangle whose origin is MCU-aligned,
  // with the EXIF dimension fields set to the rectangle's size.
  Bytes crop(std::span<const std::uint8_t> data, const PixelRect& rect);
  Bytes crop(const Bytes& data, const PixelRect& rect) { return crop(data.span(), rect); }

  // 8-bit grayscale patch of a raw-space rectangle, at half scale when its
  // shorter side is 320 pixels or more. The patch may start a few columns
  // left of the rectangle (on a scaled MCU boundary).
  GrayPatch grayscaleROI(std::span<const std::uint8_t> data, const PixelRect& rect);
  GrayPatch grayscaleROI(const Bytes& data, const PixelRect& rect) {
    return grayscaleROI(data.span(), rect);
  }

  // The scale denominator grayscaleROI uses for a rectangle.
  static int grayscaleScale(const PixelRect& rect);

  // A grayscale region decoded at 1/scale (1, 2, 4 or 8), with where it lies.
  struct ScaledRegion {
    GrayPatch patch;
    PixelRect covered;  // raw pixels the patch stands for: its size × scale, clipped
    int scale = 1;
  };
  // 8-bit grayscale of a raw-space rectangle at the given DCT scale; the
  // patch may start a few pixels left of the rectangle (on a scaled MCU
  // boundary), which `covered` reports. Throws CropError.
  ScaledRegion grayscaleRegion(std::span<const std::uint8_t> data, const PixelRect& rect,
                               int scale);

 private:
  struct Destroy {
    void operator()(mc_jpeg_context* context) const noexcept;
  };
  std::unique_ptr<mc_jpeg_context, Destroy> context_;
};

}  // namespace kestrel
