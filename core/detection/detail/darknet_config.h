// SPDX-License-Identifier: MIT
// Reading darknet network descriptions (.cfg) without OpenCV: what the
// weights file must hold, whether the network detects objects, and the
// adjustments Kestrel makes before handing the text to OpenCV DNN.
// Internal to core/detection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::darknet {

struct NetworkSummary {
  // Number of 32-bit floats the weights file carries after its header.
  std::uint64_t parameterCount = 0;
  // True when at least one [yolo] or [region] layer produces detections.
  bool detectsObjects = false;
  // classes= of the detection layers (they must agree); 0 without any.
  int classes = 0;
  // The input size the [net] section declares (416 × 416 when it does not):
  // the size the network was trained and published at.
  int inputWidth = 416;
  int inputHeight = 416;
};

// Walks the layers the way darknet and OpenCV's importer do, tracking the
// tensor shape so every convolution's weight count is known. Throws
// std::runtime_error naming the line at fault for layers OpenCV cannot
// import or values that make no sense (zero filters, channels not divisible
// by groups, a route to a later layer …).
NetworkSummary summarize(std::string_view cfg);

// Size of the weights file header: three int32 (major, minor, revision)
// and the images-seen counter, 64-bit from format 0.2 on, 32-bit before.
// Throws std::runtime_error when `weights` is too short to hold one.
std::size_t weightsHeaderSize(std::string_view weights);

// Throws std::runtime_error when the weights do not hold exactly what the
// network needs. OpenCV reads past a short file without noticing, which
// leaves garbage in the last layers, so this is checked before loading.
// `name` is the file named in the message.
void checkWeights(const NetworkSummary& network, std::string_view weights, const std::string& name);

// The cfg text with every detection layer's score cut-off set to
// `scoreCutoff` and its built-in non-maximum suppression switched off.
// OpenCV zeroes class scores ≤ the cut-off (0.2 unless told) and would
// otherwise suppress overlaps per layer; Kestrel filters and suppresses
// over all layers itself.
std::string withDetectionDefaults(std::string_view cfg, float scoreCutoff);

}  // namespace kestrel::darknet
