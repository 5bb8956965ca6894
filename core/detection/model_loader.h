// SPDX-License-Identifier: MIT
// ModelLoader: finding, preparing and loading the person detection model.
//
// Model forms. A *prepared* model is a directory whose name ends in exactly
// ".mlmodelc" holding model.cfg, model.weights and labels.txt (a darknet
// network, its weights and one class name per line); it is loaded as is.
// Anything else is a *source* model, prepared again on every load:
//   - a darknet ".cfg" file with its ".weights" of the same stem beside it;
//   - a directory holding model.cfg + model.weights, or one *.cfg with its
//     .weights (a darknet model folder as published);
//   - a single-file package (YOLOv3TinyFP16.mlmodel): an uncompressed tar
//     of model.cfg, model.weights and labels.txt.
// Class names come from labels.txt or coco.names beside the network, else
// the 80 COCO names are assumed.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/detection/compute_choice.h"

namespace kestrel {

namespace messages {
inline constexpr std::string_view modelNotFound =
    "未找到人物检测模型。请先运行 scripts/setup.sh，或通过 --model 指定模型。";
inline constexpr std::string_view notObjectDetection =
    "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型";
}  // namespace messages

// Where the network runs, resolved from the ComputeChoice when the model is
// loaded: OpenCL only when a device is actually available.
enum class InferenceTarget { cpu, openCL, openCLFP16 };

// A loaded detection model. Made once per run and shared read-only by every
// detector; each detector builds its own network from these buffers.
struct DetectionModel {
  std::filesystem::path source;     // what load was given
  std::string configuration;        // darknet cfg text, score cut-offs adjusted
  std::string weights;              // darknet weights file contents, size checked
  std::vector<std::string> labels;  // class names, index = class number
  InferenceTarget target = InferenceTarget::cpu;
  // The longer side of the input the network declares (416 for YOLOv3-tiny,
  // 320 for yolo-fastest): photos are fitted into an input of that length.
  int inputSide = 416;
};

// The places searched for installed models, in order after an explicit path.
struct ModelSearchPlaces {
  // <configured install prefix>/share/kestrel, searched directly (no
  // "Models" folder).
  std::optional<std::filesystem::path> resourceDirectory;
  std::filesystem::path currentDirectory;
  // The running executable: <its folder>/../share/kestrel is the resource
  // directory of the prefix it is installed in, and its path three levels
  // up is searched for "Models".
  std::optional<std::filesystem::path> executable;
};

// The places of this process: the configured resource directory when it
// exists, the working directory, and the executable from /proc/self/exe.
ModelSearchPlaces defaultSearchPlaces();

// The folders both models are looked for in, in order: share/kestrel of the
// prefix the executable sits in, the configured resource directory (when it
// is another folder), "Models" under the working directory, and "Models"
// three levels above the executable.
std::vector<std::filesystem::path> searchFolders(const ModelSearchPlaces& places);

namespace ModelLoader {

inline constexpr std::string_view preparedModelName = "YOLOv3TinyFP16.mlmodelc";
inline constexpr std::string_view sourceModelName = "YOLOv3TinyFP16.mlmodel";
inline constexpr std::string_view modelsFolderName = "Models";
inline constexpr std::string_view preparedExtension = ".mlmodelc";

// An explicit path is returned unchanged and unchecked (load reports a
// missing file). Otherwise the folders of searchFolders in order; in each
// the prepared model before the source model. Throws CropError
// messages::modelNotFound.
std::filesystem::path locate(const std::optional<std::filesystem::path>& explicitPath);
std::filesystem::path locate(const std::optional<std::filesystem::path>& explicitPath,
                             const ModelSearchPlaces& places);

// Reads and checks the model (prepared as is, anything else prepared in
// memory), checks that OpenCV can build the network, and resolves the
// compute choice. Unreadable files, weights that do not match the network
// and networks OpenCV cannot build throw std::runtime_error (or
// std::system_error) with the cause; a network without detection layers
// throws CropError messages::notObjectDetection.
std::shared_ptr<const DetectionModel> load(const std::filesystem::path& url, ComputeChoice compute);

// Writes the prepared form of `source` to `destination`. Nothing happens
// when anything already exists at `destination`. The directory appears
// complete or not at all (written beside it under a temporary name, then
// renamed). Errors are thrown as by load.
void compile(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace ModelLoader

}  // namespace kestrel
