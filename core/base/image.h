// SPDX-License-Identifier: MIT
// Decoded pictures: RGBImage (analysis thumbnails, previews) and GrayPatch
// (grayscale regions decoded for focus measurement).
#pragma once

#include <cstdint>
#include <vector>

#include "core/base/bytes.h"

namespace kestrel {

// Rows top to bottom, pixels interleaved R, G, B; row stride width × 3,
// no padding. A valid image has width, height ≥ 1 and
// pixels.size() == width × height × 3.
struct RGBImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  bool valid() const {
    return width >= 1 && height >= 1 &&
           pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
  }
  bool operator==(const RGBImage&) const = default;
};

// An 8-bit grayscale image: width × height bytes, rows top to bottom, no padding.
struct GrayPatch {
  std::int64_t width = 0;
  std::int64_t height = 0;
  Bytes pixels;

  // A copy whose shorter side is at most `shortEdge` pixels, area-averaged;
  // never enlarged. Throws CropError.
  GrayPatch normalized(std::int64_t shortEdge) const;
};

}  // namespace kestrel
