// SPDX-License-Identifier: MIT
// The tiny face detector's network: its darknet form and a raw run, for the
// detector and for tests that check the layout against a direct
// computation. Internal to core/detection.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/detection/face_detector.h"

namespace kestrel::face {

inline constexpr int kInputSize = 224;
inline constexpr int kAnchorCount = 5;
// Anchor width and height in grid cells; output channel a·5 + {tx, ty, tw, th, t_obj}.
inline constexpr std::array<std::array<double, 2>, kAnchorCount> kAnchors = {{
    {1.603231, 2.094468},
    {6.041143, 7.080126},
    {2.882459, 3.518061},
    {4.266906, 5.178857},
    {9.041765, 10.66308},
}};
// Per-channel mean (R, G, B) removed before dividing by 255.
inline constexpr std::array<double, 3> kMean = {117.001, 114.697, 97.404};

// Checks the tensors against the architecture — conv0 3×3 valid + leaky
// 0.1 + maxpool 2/2; five blocks of depthwise 3×3 (same, no bias, no
// activation) and pointwise 1×1 + bias + leaky 0.1, each followed by a
// maxpool 2/2 (stride 1 after the fifth); conv8 1×1 to 25 channels — and
// writes the darknet cfg and weights. Darknet keeps filters as
// [out][in/groups][h][w]; TensorFlow as [h][w][in][out] (depthwise
// [h][w][channel][1]). Darknet's 2×2 maxpool pads one column and row at the
// right and bottom, as TensorFlow's "same" pooling does for these sizes.
void toDarknet(const std::vector<FaceTensor>& tensors, std::string& cfg, std::string& weights);

struct GridOutput {
  int grid = 0;               // output is grid × grid cells
  std::vector<float> values;  // [channel][row][column], 25 channels
};

// Runs a fresh network on an already normalized input, laid out
// [channel][row][column] (R, G, B), `side` × `side`.
GridOutput runNetwork(const FaceModel& model, const std::vector<float>& input, int side);

}  // namespace kestrel::face
