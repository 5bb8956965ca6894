// SPDX-License-Identifier: MIT
// Geometry records shared by detection, sharpness, planning and the reports.
//
// Two coordinate spaces exist. Raw space is the pixel grid as stored in the
// JPEG, before the EXIF orientation; lossless crops, JPEGInfo and every
// PixelRect live there. Display space is the upright picture; thumbnails,
// detections, sharpness regions and all composition reasoning live there.
// A Box is normalized to the image of its space: x and width are fractions of
// the width, y and height of the height, origin top-left, y growing down.
#pragma once

#include <cstdint>

namespace kestrel {

struct Box {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double centerX() const { return x + width * 0.5; }
  double centerY() const { return y + height * 0.5; }
  double area() const { return width * height; }

  // The part of the box inside the unit square; a box wholly outside
  // becomes a zero-sized box on the nearest edge.
  Box clipped() const;
  // True when `other` lies inside this box, each edge allowed to stick out
  // by up to `tolerance`.
  bool contains(const Box& other, double tolerance) const;
  Box unionWith(const Box& other) const;
  // Grown by dx on the left and right and by dy at the top and bottom; not clipped.
  Box padded(double dx, double dy) const;

  // Exact equality: the planner recognises a person's own box by it.
  bool operator==(const Box&) const = default;
};

// Something a detector found: its box (display space, normalized to the
// whole image) and its score in 0…1. People and faces are both reported so.
struct Detection {
  Box box;
  double confidence = 0;

  bool operator==(const Detection&) const = default;
};

// A detected person; the box is clipped to the image.
using Person = Detection;

// A rectangle of stored (raw) pixels.
struct PixelRect {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;

  // The rectangle as fractions of an image of the given raw size.
  Box normalized(std::int64_t imageWidth, std::int64_t imageHeight) const;

  bool operator==(const PixelRect&) const = default;
};

// Mappings between raw and display space for the eight EXIF orientations.
// Any value outside 2…8 behaves as 1. Orientation 6 means the stored picture
// is turned 90° clockwise to be upright, 8 counter-clockwise, 3 is 180°, 2
// and 4 mirror horizontally and vertically, 5 and 7 mirror diagonally.
namespace EXIFOrientation {
Box rawToDisplay(const Box& box, int orientation);
Box displayToRaw(const Box& box, int orientation);
// True for the orientations that swap width and height (5 to 8).
bool swapsAxes(int orientation);
}  // namespace EXIFOrientation

}  // namespace kestrel
