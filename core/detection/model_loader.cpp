// SPDX-License-Identifier: MIT
#include "core/detection/model_loader.h"

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <system_error>

#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/detail/model_files.h"
#include "core/detection/detail/opencv_support.h"
#include "core/detection/detail/tar_archive.h"

#ifndef KESTREL_RESOURCE_DIR
#error \
    "KESTREL_RESOURCE_DIR (<install prefix>/share/kestrel) comes from core/detection/CMakeLists.txt"
#endif

namespace kestrel {

namespace fs = std::filesystem;

namespace {

// Score cut-off written into every detection layer. Below the 0.2 the
// person rule keeps, so a label of exactly 0.2 survives OpenCV's "> cut-off".
constexpr float kLayerScoreCutoff = 0.1f;

constexpr std::array<std::string_view, 80> kCocoNames = {
    "person",        "bicycle",       "car",           "motorbike",
    "aeroplane",     "bus",           "train",         "truck",
    "boat",          "traffic light", "fire hydrant",  "stop sign",
    "parking meter", "bench",         "bird",          "cat",
    "dog",           "horse",         "sheep",         "cow",
    "elephant",      "bear",          "zebra",         "giraffe",
    "backpack",      "umbrella",      "handbag",       "tie",
    "suitcase",      "frisbee",       "skis",          "snowboard",
    "sports ball",   "kite",          "baseball bat",  "baseball glove",
    "skateboard",    "surfboard",     "tennis racket", "bottle",
    "wine glass",    "cup",           "fork",          "knife",
    "spoon",         "bowl",          "banana",        "apple",
    "sandwich",      "orange",        "broccoli",      "carrot",
    "hot dog",       "pizza",         "donut",         "cake",
    "chair",         "sofa",          "pottedplant",   "bed",
    "diningtable",   "toilet",        "tvmonitor",     "laptop",
    "mouse",         "remote",        "keyboard",      "cell phone",
    "microwave",     "oven",          "toaster",       "sink",
    "refrigerator",  "book",          "clock",         "vase",
    "scissors",      "teddy bear",    "hair drier",    "toothbrush"};

// The three files of a model, wherever they came from.
struct ModelFiles {
  std::string cfg;
  std::string weights;
  std::vector<std::string> labels;
  std::string weightsName;  // named in error messages
};

std::vector<std::string> cocoLabels() { return {kCocoNames.begin(), kCocoNames.end()}; }

std::optional<std::vector<std::string>> labelsBeside(const fs::path& directory) {
  for (const char* name : {"labels.txt", "coco.names"}) {
    std::error_code ec;
    if (fs::is_regular_file(directory / name, ec)) {
      return detail::parseLabels(detail::readWholeFile(directory / name));
    }
  }
  return std::nullopt;
}

ModelFiles readPrepared(const fs::path& directory) {
  ModelFiles files;
  files.cfg = detail::readWholeFile(directory / "model.cfg");
  files.weights = detail::readWholeFile(directory / "model.weights");
  files.weightsName = (directory / "model.weights").string();
  files.labels = labelsBeside(directory).value_or(cocoLabels());
  return files;
}

ModelFiles readDarknetPair(const fs::path& cfgPath) {
  fs::path weightsPath = cfgPath;
  weightsPath.replace_extension(".weights");
  ModelFiles files;
  files.cfg = detail::readWholeFile(cfgPath);
  files.weights = detail::readWholeFile(weightsPath);
  files.weightsName = weightsPath.string();
  files.labels = labelsBeside(cfgPath.parent_path()).value_or(cocoLabels());
  return files;
}

ModelFiles readPackage(const fs::path& path) {
  std::optional<std::string> cfg, weights, labels, names;
  for (tar::Entry& entry : tar::readEntries(detail::readWholeFile(path))) {
    const std::string_view name = tar::baseName(entry.path);
    if (name == "model.cfg") cfg = std::move(entry.data);
    if (name == "model.weights") weights = std::move(entry.data);
    if (name == "labels.txt") labels = std::move(entry.data);
    if (name == "coco.names") names = std::move(entry.data);
  }
  if (!cfg || !weights) {
    throw std::runtime_error("模型包 " + path.string() + " 缺少 " +
                             (cfg ? "model.weights" : "model.cfg"));
  }
  ModelFiles files{std::move(*cfg), std::move(*weights), {}, path.string() + ":model.weights"};
  if (labels || names) {
    files.labels = detail::parseLabels(labels ? *labels : *names);
  } else {
    files.labels = cocoLabels();
  }
  return files;
}

bool hasCfgExtension(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".cfg";
}

ModelFiles readSource(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    if (fs::exists(path / "model.cfg", ec)) return readPrepared(path);
    // A darknet model folder as published: one network with its weights.
    std::vector<fs::path> candidates;
    for (const auto& entry : fs::directory_iterator(path, ec)) {
      if (hasCfgExtension(entry.path())) {
        fs::path weights = entry.path();
        weights.replace_extension(".weights");
        if (fs::is_regular_file(weights, ec)) candidates.push_back(entry.path());
      }
    }
    if (candidates.size() != 1) {
      throw std::runtime_error("文件夹 " + path.string() +
                               (candidates.empty() ? " 中没有 darknet 模型（.cfg 与同名 .weights）"
                                                   : " 中有多个 darknet 模型，请指定其中的 .cfg"));
    }
    return readDarknetPair(candidates.front());
  }
  if (hasCfgExtension(path)) return readDarknetPair(path);
  return readPackage(path);
}

ModelFiles readModel(const fs::path& url) {
  // Only the exact extension marks a prepared model; "x.MLMODELC" is a source.
  if (url.extension() == ModelLoader::preparedExtension) return readPrepared(url);
  return readSource(url);
}

// The checks that need no OpenCV: a detector, weights of the right size,
// one name per class.
darknet::NetworkSummary check(const ModelFiles& files) {
  darknet::NetworkSummary network = darknet::summarize(files.cfg);
  if (!network.detectsObjects) throw CropError(std::string(messages::notObjectDetection));
  darknet::checkWeights(network, files.weights, files.weightsName);
  if (files.labels.size() != static_cast<std::size_t>(network.classes)) {
    throw std::runtime_error("类别名称数量（" + std::to_string(files.labels.size()) +
                             "）与模型的类别数（" + std::to_string(network.classes) + "）不符");
  }
  return network;
}

std::optional<fs::path> modelAt(const fs::path& directory) {
  for (const std::string_view name :
       {ModelLoader::preparedModelName, ModelLoader::sourceModelName}) {
    std::error_code ec;
    const fs::path candidate = directory / name;
    if (fs::exists(candidate, ec)) return candidate;  // a link to nothing is no model
  }
  return std::nullopt;
}

}  // namespace

ModelSearchPlaces defaultSearchPlaces() {
  ModelSearchPlaces places;
  std::error_code ec;
  const fs::path resources = KESTREL_RESOURCE_DIR;
  if (fs::is_directory(resources, ec)) places.resourceDirectory = resources;
  places.currentDirectory = fs::current_path(ec);
  // The kernel's record of the running binary: the same file the first
  // command-line argument names, without depending on how it was started.
  const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) places.executable = executable;
  return places;
}

std::vector<fs::path> searchFolders(const ModelSearchPlaces& places) {
  std::vector<fs::path> folders;
  const std::optional<fs::path> executable =
      places.executable ? std::optional(places.executable->lexically_normal()) : std::nullopt;
  // The prefix the program is installed in comes first: `cmake --install
  // --prefix` and a relocated package need not match the configured prefix.
  if (executable) {
    folders.push_back((executable->parent_path() / "../share/kestrel").lexically_normal());
  }
  if (places.resourceDirectory) {
    const fs::path configured = places.resourceDirectory->lexically_normal();
    if (folders.empty() || folders.front() != configured) folders.push_back(configured);
  }
  if (!places.currentDirectory.empty()) {
    folders.push_back(places.currentDirectory / ModelLoader::modelsFolderName);
  }
  if (executable) {
    fs::path base = *executable;
    for (int i = 0; i < 3; ++i) base = base.parent_path();
    folders.push_back(base / ModelLoader::modelsFolderName);
  }
  return folders;
}

namespace ModelLoader {

fs::path locate(const std::optional<fs::path>& explicitPath) {
  if (explicitPath) return *explicitPath;
  return locate(explicitPath, defaultSearchPlaces());
}

fs::path locate(const std::optional<fs::path>& explicitPath, const ModelSearchPlaces& places) {
  if (explicitPath) return *explicitPath;
  for (const fs::path& folder : searchFolders(places)) {
    if (auto found = modelAt(folder)) return *found;
  }
  throw CropError(std::string(messages::modelNotFound));
}

std::shared_ptr<const DetectionModel> load(const fs::path& url, ComputeChoice compute) {
  ModelFiles files = readModel(url);
  const darknet::NetworkSummary network = check(files);

  auto model = std::make_shared<DetectionModel>();
  model->source = url;
  model->inputSide = std::max(network.inputWidth, network.inputHeight);
  model->configuration = darknet::withDetectionDefaults(files.cfg, kLayerScoreCutoff);
  model->weights = std::move(files.weights);
  model->labels = std::move(files.labels);
  model->target = detail::inferenceTarget(compute);

  // Build the network once here so a model OpenCV cannot run fails the
  // load, not every photo.
  cv::dnn::Net net = detail::darknetNetwork(model->configuration, model->weights, model->target);
  detail::withOpenCVErrors([&] {
    for (const int id : net.getUnconnectedOutLayers()) {
      if (net.getLayer(id)->type != "Region") {
        throw CropError(std::string(messages::notObjectDetection));
      }
    }
  });
  return model;
}

void compile(const fs::path& source, const fs::path& destination) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(destination, ec))) return;

  const ModelFiles files = readModel(source);
  check(files);

  const fs::path parent =
      destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
  fs::create_directories(parent);
  const fs::path staging = temporaryPathFor(parent / destination.filename());
  fs::create_directory(staging);
  try {
    std::string labels;
    for (const std::string& label : files.labels) labels += label + "\n";
    for (const auto& [name, content] : {std::pair{"model.cfg", std::string_view(files.cfg)},
                                        std::pair{"model.weights", std::string_view(files.weights)},
                                        std::pair{"labels.txt", std::string_view(labels)}}) {
      try {
        createFile(staging / name, content);
      } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "无法写入模型文件 " + (destination / name).string());
      }
    }
    // Never replaces what is there: an empty directory made meanwhile
    // would otherwise be swapped out by rename(2).
    int result =
        ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL && !fs::exists(fs::symlink_status(destination, ec))) {
      result = ::rename(staging.c_str(), destination.c_str());  // file system without NOREPLACE
    }
    if (result != 0) {
      const int error = errno;
      // Someone else prepared it meanwhile: theirs stays.
      if (fs::exists(fs::symlink_status(destination, ec))) {
        fs::remove_all(staging, ec);
        return;
      }
      throw std::system_error(error, std::generic_category(),
                              "无法写入模型文件夹 " + destination.string());
    }
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

}  // namespace ModelLoader

}  // namespace kestrel
