// SPDX-License-Identifier: MIT
// From YOLO region-layer rows to object observations: the letterbox that
// fits an image into the network input, and the decoding with per-class
// non-maximum suppression. Internal to core/detection.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/detection/person_detector.h"

namespace kestrel::yolo {

// How an image sits in the network input: scaled by one factor to fit,
// centred, the rest padded. The input's long side is the network's declared
// one (rounded up to the 32-pixel grid of its last layer); its aspect
// follows the image so little of it is padding: the short side is the
// smallest multiple of 32 that holds a 3:2 photo, for a 416 network
// 416 × 288 for landscape, 288 × 416 for portrait, and 416 × 416 for nearly
// square images (aspect closer to 1 than to 416/288, geometrically).
struct Letterbox {
  int inputWidth = 0;
  int inputHeight = 0;
  int left = 0;
  int top = 0;
  int scaledWidth = 0;
  int scaledHeight = 0;

  bool operator==(const Letterbox&) const = default;
};

Letterbox letterboxFor(int imageWidth, int imageHeight, int networkSide);

// One region layer's output: `rows` rows of `columns` floats, each
// [cx, cy, w, h, objectness, score per class], box values relative to the
// network input, class scores already multiplied by the objectness and
// zero below the layer's cut-off.
struct RegionRows {
  const float* data = nullptr;
  int rows = 0;
  int columns = 0;
};

// Intersection over union above which a box of a class is suppressed by a
// better one of the same class.
inline constexpr float kSuppressionOverlap = 0.45f;

// Every row that survives suppression for at least one class becomes one
// observation, its labels the classes it survived for (best first), its
// confidence the best of them, its box mapped from the network input back
// to the whole image through `letterbox` (not clipped). Observations come
// best first; equal scores keep the layers' order.
std::vector<ObjectObservation> observations(std::span<const RegionRows> layers,
                                            const Letterbox& letterbox,
                                            const std::vector<std::string>& labels);

}  // namespace kestrel::yolo
