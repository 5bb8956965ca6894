// SPDX-License-Identifier: MIT
// Finding the digits of a bib on a runner's torso: cheap image operations on
// a small grayscale copy, no recogniser involved. Pure functions over Gray.
#pragma once

#include <cstdint>
#include <vector>

#include "core/base/geometry.h"

namespace kestrel::bibs {

// 8-bit grayscale, rows top to bottom, width bytes a row.
struct Gray {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  std::uint8_t at(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
};

// Where a runner's bib is looked for: the torso below the head, as a share
// of the person box (display space, normalized).
Box torsoRegion(const Box& person);

// The picture of a raw-space patch the way it is displayed under an EXIF
// orientation (see EXIFOrientation).
Gray upright(const Gray& raw, int orientation);

// The part of `image` inside [x, x+width) × [y, y+height), clipped to it.
Gray cropped(const Gray& image, int x, int y, int width, int height);

// Half the width and height, each 2 × 2 block averaged.
Gray halved(const Gray& image);

// Bilinear resampling to width × height (both ≥ 1).
Gray resized(const Gray& image, int width, int height);

// A run of digit-shaped dark marks side by side on a light background.
struct DigitLine {
  int x = 0, y = 0, width = 0, height = 0;  // bounding box of the marks
  int marks = 0;
  double markHeight = 0;          // median height of the marks
  std::vector<std::uint8_t> ink;  // width × height: the marks in gray, white around them
};

// The candidate lines of a torso image whose digits are expected to be
// about `digitHeight` pixels tall (the runner's size sets it, give or take
// a factor of two). Marks are dark against their neighbourhood, of digit
// proportions, of one height and on one baseline, 2 to 6 of them with
// digit-sized gaps, and the ring around them is light (the bib's paper).
// Best candidates (most marks, then tallest) first.
std::vector<DigitLine> digitLines(const Gray& torso, double digitHeight);

// True when the paper just before the first mark and just after the last
// (a third of a digit height, at the line's height) is inside the torso
// image and clear of dark marks: no digit is cut off there by the bib's
// edge, a hand or an arm.
bool clearSides(const Gray& torso, const DigitLine& line);

// The recogniser's input for a line: its marks on white with a white
// margin of half a digit above and below and `side` digits beside them,
// scaled so that they are `digitHeight` pixels tall.
Gray recognitionPatch(const DigitLine& line, int digitHeight, double side);

// The line as it appears in the torso image, with a margin of its
// surroundings, scaled like recognitionPatch.
Gray surroundingsPatch(const Gray& torso, const DigitLine& line, int digitHeight);

}  // namespace kestrel::bibs
