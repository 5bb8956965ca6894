// SPDX-License-Identifier: MIT
#include "core/detection/detail/opencv_support.h"

#include <opencv2/core/ocl.hpp>

namespace kestrel::detail {

namespace {

bool openCLDeviceAvailable() {
  try {
    return cv::ocl::haveOpenCL() && cv::ocl::Device::getDefault().available();
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

cv::dnn::Net darknetNetwork(const std::string& cfg, const std::string& weights,
                            InferenceTarget target) {
  return withOpenCVErrors([&] {
    cv::dnn::Net net =
        cv::dnn::readNetFromDarknet(cfg.data(), cfg.size(), weights.data(), weights.size());
    if (net.empty()) throw std::runtime_error("OpenCV 无法由网络描述建立网络");
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    switch (target) {
      case InferenceTarget::cpu:
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        break;
      case InferenceTarget::openCL:
        net.setPreferableTarget(cv::dnn::DNN_TARGET_OPENCL);
        break;
      case InferenceTarget::openCLFP16:
        net.setPreferableTarget(cv::dnn::DNN_TARGET_OPENCL_FP16);
        break;
    }
    return net;
  });
}

// There is no neural engine on this platform: cpu-neural runs on the CPU.
InferenceTarget inferenceTarget(ComputeChoice choice) {
  switch (choice) {
    case ComputeChoice::cpuGPU:
      return openCLDeviceAvailable() ? InferenceTarget::openCL : InferenceTarget::cpu;
    case ComputeChoice::all:
      return openCLDeviceAvailable() ? InferenceTarget::openCLFP16 : InferenceTarget::cpu;
    case ComputeChoice::cpu:
    case ComputeChoice::cpuNeural:
      break;
  }
  return InferenceTarget::cpu;
}

}  // namespace kestrel::detail
