// SPDX-License-Identifier: MIT
// FaceDetector: faces inside a search rectangle of an analysis image, found
// by a small YOLO-style network (the tiny face detector whose weights the
// npm package @vladmandic/face-api publishes), run through OpenCV DNN.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/geometry.h"
#include "core/base/image.h"
#include "core/detection/model_loader.h"

namespace kestrel {

namespace messages {
inline constexpr std::string_view faceModelNotFound =
    "未找到人脸检测模型。请先运行 scripts/setup.sh，或通过 --face-model 指定模型目录。";
}  // namespace messages

// One weight tensor of the published model, dequantised, in its own
// (TensorFlow, HWIO) layout.
struct FaceTensor {
  std::string name;
  std::vector<int> shape;
  std::vector<float> values;
};

// The loaded face model: made once per run, shared read-only by every
// detector; each detector builds its own network from the darknet form.
struct FaceModel {
  std::filesystem::path directory;
  std::vector<FaceTensor> tensors;  // in manifest order
  std::string configuration;        // the same network as a darknet cfg
  std::string weights;              // and its darknet weights
};

namespace FaceModelLoader {

inline constexpr std::string_view folderName = "face-api";
inline constexpr std::string_view manifestName = "tiny_face_detector_model-weights_manifest.json";
inline constexpr std::string_view weightsName = "tiny_face_detector_model.bin";

// An explicit directory is returned unchanged. Otherwise a "face-api"
// folder holding the manifest and the weights, in the first of the folders
// of searchFolders that has one. Throws CropError messages::faceModelNotFound.
std::filesystem::path locate(const std::optional<std::filesystem::path>& explicitDirectory);
std::filesystem::path locate(const std::optional<std::filesystem::path>& explicitDirectory,
                             const ModelSearchPlaces& places);

// Reads the manifest and the weight files it lists, dequantises the
// tensors (value = byte · scale + min for quantised ones, little-endian
// float32 otherwise) and checks them against the network's architecture.
// Unreadable files throw std::system_error; a manifest, weight file or
// tensor that does not fit throws std::runtime_error saying which.
std::shared_ptr<const FaceModel> load(const std::filesystem::path& directory);

}  // namespace FaceModelLoader

// How much picture around the search rectangle the network is shown, as
// fractions of the rectangle's height (above, below) and width (each
// side). Person boxes often start at the forehead, so a band cut at the box
// top shows half a head; a little context above lets the network see it
// whole. On the prominent runners of the race photos, a tenth of the band
// above found a face for 41 of 41, no context 37, and more context fewer
// again (0.25 above: 38). Faces are reported when their centre lies inside
// the rectangle.
struct FaceSearchContext {
  double above = 0.1;
  double below = 0.0;
  double sides = 0.0;
};

class FaceDetector {
 public:
  explicit FaceDetector(std::shared_ptr<const FaceModel> model, FaceSearchContext context = {});
  ~FaceDetector();
  FaceDetector(FaceDetector&&) noexcept;
  FaceDetector& operator=(FaceDetector&&) noexcept;
  FaceDetector(const FaceDetector&) = delete;
  FaceDetector& operator=(const FaceDetector&) = delete;

  // Faces whose centre lies in `searchRegion` (normalized, top-left; clipped
  // to the image first) and whose box lies at least 70 % inside the window
  // the network saw, best score first. Each face keeps its own box,
  // normalized to the whole image, even where it reaches past the region.
  // Faces scoring below 0.3 are not reported. The network sees the region
  // with its context, padded to a square with black at the right or bottom
  // and scaled to 224 × 224. OpenCV failures throw std::runtime_error.
  std::vector<Detection> detect(const RGBImage& image, const Box& searchRegion);

  // One run over the whole image, result ignored (the batch run passes its
  // black 416 × 416 warm-up image).
  void warmup(const RGBImage& image);

 private:
  struct Network;
  std::unique_ptr<Network> network_;
};

}  // namespace kestrel
