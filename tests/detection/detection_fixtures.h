// SPDX-License-Identifier: MIT
// A tiny darknet detector written on the fly, for tests without the shared models.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::testing {

// A two-class YOLO network on a 32 × 32 input: conv 3×3/2 with batch norm
// (4·4 + 4·3·9 = 124 floats), conv 1×1 to 7 channels (7 + 7·4 = 35), yolo.
inline constexpr std::string_view kTinyYoloCfg =
    "[net]\nwidth=32\nheight=32\nchannels=3\n\n"
    "[convolutional]\nfilters=4\nsize=3\nstride=2\npad=1\nbatch_normalize=1\nactivation=leaky\n\n"
    "[convolutional]\nfilters=7\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
    "[yolo]\nmask=0\nanchors=10,14, 23,27\nclasses=2\nnum=2\nthresh = .5\nignore_thresh=.7\n";
inline const std::string kTinyClassifierCfg =  // without its detection layer: a classifier
    std::string(kTinyYoloCfg.substr(0, kTinyYoloCfg.find("[yolo]"))) + "[avgpool]\n\n[softmax]\n";

// A darknet weights file: version 0.2.0, a 64-bit seen counter, `floats` small values.
inline std::string darknetWeights(std::size_t floats) {
  std::string weights(20 + floats * 4, '\0');
  weights[4] = 2;
  for (std::size_t i = 20; i < weights.size(); ++i) weights[i] = static_cast<char>(i % 7);
  return weights;
}

}  // namespace kestrel::testing
