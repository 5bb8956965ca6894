// SPDX-License-Identifier: MIT
#include "core/base/geometry.h"

#include <algorithm>

namespace kestrel {

Box Box::clipped() const {
  const double cx = std::min(std::max(x, 0.0), 1.0);
  const double cy = std::min(std::max(y, 0.0), 1.0);
  const double cw = std::max(std::min(x + width, 1.0) - cx, 0.0);
  const double ch = std::max(std::min(y + height, 1.0) - cy, 0.0);
  return {cx, cy, cw, ch};
}

bool Box::contains(const Box& other, double tolerance) const {
  return x <= other.x + tolerance && y <= other.y + tolerance &&
         other.maxX() <= maxX() + tolerance && other.maxY() <= maxY() + tolerance;
}

Box Box::unionWith(const Box& other) const {
  const double ux = std::min(x, other.x);
  const double uy = std::min(y, other.y);
  return {ux, uy, std::max(maxX(), other.maxX()) - ux, std::max(maxY(), other.maxY()) - uy};
}

Box Box::padded(double dx, double dy) const {
  return {x - dx, y - dy, width + 2 * dx, height + 2 * dy};
}

Box PixelRect::normalized(std::int64_t imageWidth, std::int64_t imageHeight) const {
  const auto w = static_cast<double>(imageWidth);
  const auto h = static_cast<double>(imageHeight);
  return {static_cast<double>(x) / w, static_cast<double>(y) / h, static_cast<double>(width) / w,
          static_cast<double>(height) / h};
}

namespace EXIFOrientation {

Box rawToDisplay(const Box& b, int orientation) {
  switch (orientation) {
    case 2:
      return {1 - b.x - b.width, b.y, b.width, b.height};
    case 3:
      return {1 - b.x - b.width, 1 - b.y - b.height, b.width, b.height};
    case 4:
      return {b.x, 1 - b.y - b.height, b.width, b.height};
    case 5:
      return {b.y, b.x, b.height, b.width};
    case 6:
      return {1 - b.y - b.height, b.x, b.height, b.width};
    case 7:
      return {1 - b.y - b.height, 1 - b.x - b.width, b.height, b.width};
    case 8:
      return {b.y, 1 - b.x - b.width, b.height, b.width};
    default:
      return b;
  }
}

Box displayToRaw(const Box& b, int orientation) {
  switch (orientation) {
    case 2:
      return {1 - b.x - b.width, b.y, b.width, b.height};
    case 3:
      return {1 - b.x - b.width, 1 - b.y - b.height, b.width, b.height};
    case 4:
      return {b.x, 1 - b.y - b.height, b.width, b.height};
    case 5:
      return {b.y, b.x, b.height, b.width};
    case 6:
      return {b.y, 1 - b.x - b.width, b.height, b.width};
    case 7:
      return {1 - b.y - b.height, 1 - b.x - b.width, b.height, b.width};
    case 8:
      return {1 - b.y - b.height, b.x, b.height, b.width};
    default:
      return b;
  }
}

bool swapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace EXIFOrientation

}  // namespace kestrel
