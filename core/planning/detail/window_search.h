// SPDX-License-Identifier: MIT
// The crop window search: tries windows of the photo's own aspect ratio from
// the smallest trim to the largest allowed, places each around the subject in
// display space, moves its origin onto the raw MCU grid so the crop stays
// lossless, drops windows that would cut a person, and returns the one that
// improves the composition most over the uncropped frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/base/geometry.h"

namespace kestrel {

// Everything the planner hands to the search for one photo.
struct WindowSearchInput {
  std::int64_t imageWidth = 0;  // raw pixels
  std::int64_t imageHeight = 0;
  std::int64_t mcuWidth = 8;  // raw block size the crop origin must sit on
  std::int64_t mcuHeight = 8;
  int orientation = 1;
  bool fixed = false;
  double maximumTrim = 0;  // the configured limit; every window must respect it
  std::int64_t minimumLongEdge = 0;
  double trimLimit = 0;  // the effective limit (tighter for a soft subject)
  std::int64_t pixelFloor = 0;
  Box subject;          // display space, after pair blending
  double anchor = 0.5;  // display-space x the window is centred on
  double pairStrength = 0;
  std::optional<Box> protectedRegion;  // display space; any window must contain it
  std::vector<Box> bystanders;         // display space, padded and clipped; kept whole or left out
};

// The chosen window: raw origin and size in pixels, and its composition gain.
struct CropWindow {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  double gain = 0;

  PixelRect rect() const { return {x, y, width, height}; }
  bool operator==(const CropWindow&) const = default;
};

// How well a display-space window frames the subject. Higher is better; a
// perfect frame of the untrimmed image scores 0.
struct CompositionScore {
  Box subject;  // display space
  double anchor = 0.5;
  double pairStrength = 0;

  // Wanted subject height as a fraction of the window (lower for a pair,
  // which needs room beside it).
  double targetHeight() const;
  // Share of the vertical free space that belongs above the subject.
  double headroomShare() const;
  // Score of a window of normalized size window.width × window.height
  // (equal for every window the search builds), trim cost included.
  double score(const Box& window) const;
  // Score of the uncropped frame, which pays no trim cost.
  double baseline() const;
};

// Admissible origins of a window of `crop` pixels on an axis of `length`
// pixels, ascending and all multiples of `block`. `lower` and `upper` bound
// the origin (so the window holds the protected region); without
// `boundaries` the result is the block origin nearest to `ideal`, otherwise
// the block origins on both sides of `ideal` and of each boundary, so that a
// window edge can land just inside or just outside a bystander.
std::vector<std::int64_t> alignedOrigins(double ideal, std::int64_t length, std::int64_t crop,
                                         std::int64_t block, std::optional<double> lower,
                                         std::optional<double> upper,
                                         const std::vector<double>& boundaries);

// The best window for the input, or nothing when no window beats the
// uncropped frame by the minimum gain. In fixed mode the window of the
// largest passing trim is taken whatever its gain.
std::optional<CropWindow> bestCropWindow(const WindowSearchInput& input);

}  // namespace kestrel
