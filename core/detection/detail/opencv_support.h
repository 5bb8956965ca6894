// SPDX-License-Identifier: MIT
// What the detection sources share about OpenCV: building a network from
// in-memory darknet buffers and keeping cv::Exception inside core/detection.
// Internal to core/detection; the only header that includes OpenCV.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/detection/model_loader.h"

namespace kestrel::detail {

// Runs `body`, turning OpenCV's exceptions into std::runtime_error with
// OpenCV's own text; everything else passes through unchanged.
template <typename Body>
decltype(auto) withOpenCVErrors(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const cv::Exception& error) {
    throw std::runtime_error(error.what());
  }
}

// A fresh network from a darknet cfg text and weights, set to run on
// `target`. One per detector: a network keeps per-run state and gives
// wrong results when two threads run it at once.
cv::dnn::Net darknetNetwork(const std::string& cfg, const std::string& weights,
                            InferenceTarget target);

// What the compute choice gets on this machine.
InferenceTarget inferenceTarget(ComputeChoice choice);

}  // namespace kestrel::detail
