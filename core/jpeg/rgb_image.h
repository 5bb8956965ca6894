// SPDX-License-Identifier: MIT
// RGBImage: a decoded 8-bit RGB picture (analysis thumbnails, previews).
#pragma once

#include <cstdint>
#include <vector>

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

}  // namespace kestrel
