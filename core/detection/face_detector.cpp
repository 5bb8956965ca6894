// SPDX-License-Identifier: MIT
#include "core/detection/face_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "core/base/crop_error.h"
#include "core/detection/detail/face_network.h"
#include "core/detection/detail/model_files.h"
#include "core/detection/detail/opencv_support.h"

namespace kestrel {

namespace fs = std::filesystem;

namespace {

constexpr float kReportFloor = 0.3f;
// Share of a face box that must lie in the window the network saw.
constexpr double kSeenShare = 0.7;
constexpr float kSuppressionOverlap = 0.4f;

[[noreturn]] void invalid(const fs::path& directory, const std::string& what) {
  throw std::runtime_error("人脸检测模型无效（" + directory.string() + "）：" + what);
}

std::vector<FaceTensor> readTensors(const fs::path& directory) {
  const fs::path manifestPath = directory / FaceModelLoader::manifestName;
  nlohmann::json manifest;
  try {
    manifest = nlohmann::json::parse(detail::readWholeFile(manifestPath));
  } catch (const nlohmann::json::exception& error) {
    invalid(directory, std::string("清单无法解析：") + error.what());
  }
  if (!manifest.is_array()) invalid(directory, "清单不是数组");

  std::vector<FaceTensor> tensors;
  try {
    for (const auto& group : manifest) {
      // A group's tensors lie one after another in its files, concatenated.
      std::string data;
      for (const auto& path : group.at("paths")) {
        const std::string name = path.get<std::string>();
        if (name.empty() || name.find('/') != std::string::npos || name == "..") {
          invalid(directory, "清单中的文件名无效：" + name);
        }
        data += detail::readWholeFile(directory / name);
      }
      std::size_t offset = 0;
      for (const auto& listed : group.at("weights")) {
        FaceTensor tensor;
        tensor.name = listed.at("name").get<std::string>();
        std::size_t count = 1;
        for (const auto& dimension : listed.at("shape")) {
          const int value = dimension.get<int>();
          if (value <= 0 || value > 4096) invalid(directory, tensor.name + " 的形状无效");
          tensor.shape.push_back(value);
          // Bounded by the data below; stop before the product can overflow.
          if (count > data.size()) break;
          count *= static_cast<std::size_t>(value);
        }
        std::string storage = listed.at("dtype").get<std::string>();
        double scale = 1;
        double minimum = 0;
        const bool quantised = listed.contains("quantization");
        if (quantised) {
          const auto& q = listed.at("quantization");
          storage = q.at("dtype").get<std::string>();
          scale = q.at("scale").get<double>();
          minimum = q.at("min").get<double>();
        }
        // Quantised values are unsigned integers, others little-endian float32.
        const std::size_t width = quantised ? (storage == "uint8"    ? 1
                                               : storage == "uint16" ? 2
                                                                     : 0)
                                            : (storage == "float32" ? 4 : 0);
        if (width == 0) invalid(directory, tensor.name + " 的数据类型不受支持：" + storage);
        if (count > (data.size() - offset) / width) {
          invalid(directory, "权重文件比清单所列的短（" + tensor.name + "）");
        }
        tensor.values.resize(count);
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data() + offset);
        for (std::size_t i = 0; i < count; ++i) {
          if (width == 1) {
            tensor.values[i] = static_cast<float>(bytes[i] * scale + minimum);
          } else if (width == 2) {
            const unsigned value = bytes[2 * i] | (unsigned{bytes[2 * i + 1]} << 8);
            tensor.values[i] = static_cast<float>(value * scale + minimum);
          } else {
            std::uint32_t bits = 0;
            for (int b = 3; b >= 0; --b)
              bits = (bits << 8) | bytes[4 * i + static_cast<std::size_t>(b)];
            std::memcpy(&tensor.values[i], &bits, 4);
          }
        }
        offset += count * width;
        tensors.push_back(std::move(tensor));
      }
      if (offset != data.size()) invalid(directory, "权重文件比清单所列的长");
    }
  } catch (const nlohmann::json::exception& error) {
    invalid(directory, std::string("清单内容不完整：") + error.what());
  }
  return tensors;
}

bool holdsModel(const fs::path& directory) {
  std::error_code ec;
  return fs::is_regular_file(directory / FaceModelLoader::manifestName, ec) &&
         fs::is_regular_file(directory / FaceModelLoader::weightsName, ec);
}

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

}  // namespace

namespace face {

void toDarknet(const std::vector<FaceTensor>& tensors, std::string& cfg, std::string& weights) {
  std::map<std::string, const FaceTensor*> byName;
  for (const FaceTensor& t : tensors) byName[t.name] = &t;
  const auto tensor = [&](const std::string& name, std::vector<int> shape) -> const FaceTensor& {
    const auto it = byName.find(name);
    if (it == byName.end()) throw std::runtime_error("人脸检测模型缺少张量 " + name);
    if (it->second->shape != shape)
      throw std::runtime_error("人脸检测模型的张量 " + name + " 形状不符");
    return *it->second;
  };

  std::ostringstream net;
  net << "[net]\nwidth=" << kInputSize << "\nheight=" << kInputSize << "\nchannels=3\n\n";
  // Header: version 0.2.0, then a 64-bit images-seen counter.
  weights.assign(20, '\0');
  weights[4] = 2;
  const auto append = [&](const std::vector<float>& values) {
    weights.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
  };
  // Darknet stores a convolution as its biases, then the filters [out][in/groups][h][w].
  const auto convolution = [&](const FaceTensor& filters, const FaceTensor* bias, int groups,
                               int pad, bool leaky) {
    const int kh = filters.shape[0], kw = filters.shape[1], in = filters.shape[2];
    const int out = groups == 1 ? filters.shape[3] : in;
    net << "[convolutional]\nfilters=" << out << "\nsize=" << kh << "\nstride=1\npad=" << pad
        << "\ngroups=" << groups << "\nactivation=" << (leaky ? "leaky" : "linear") << "\n\n";
    append(bias ? bias->values : std::vector<float>(static_cast<std::size_t>(out), 0.0f));
    std::vector<float> oihw(filters.values.size());
    const int inPerGroup = in / groups;
    for (int o = 0; o < out; ++o) {
      for (int i = 0; i < inPerGroup; ++i) {
        for (int y = 0; y < kh; ++y) {
          for (int x = 0; x < kw; ++x) {
            // TF: [y][x][in][out]; a depthwise filter is [y][x][channel][1].
            const std::size_t from =
                groups == 1 ? ((static_cast<std::size_t>(y) * kw + x) * in + i) * out + o
                            : (static_cast<std::size_t>(y) * kw + x) * in + o;
            oihw[((static_cast<std::size_t>(o) * inPerGroup + i) * kh + y) * kw + x] =
                filters.values[from];
          }
        }
      }
    }
    append(oihw);
  };
  const auto maxpool = [&](int stride) { net << "[maxpool]\nsize=2\nstride=" << stride << "\n\n"; };

  // A bias gives the channel count its filters must have.
  const auto bias = [&](const std::string& name) -> const FaceTensor& {
    const auto it = byName.find(name);
    if (it == byName.end()) throw std::runtime_error("人脸检测模型缺少张量 " + name);
    if (it->second->shape.size() != 1)
      throw std::runtime_error("人脸检测模型的张量 " + name + " 形状不符");
    return *it->second;
  };

  int channels = bias("conv0/bias").shape[0];
  convolution(tensor("conv0/filters", {3, 3, 3, channels}), &bias("conv0/bias"), 1, 0, true);
  maxpool(2);
  for (int block = 1; block <= 5; ++block) {
    const std::string prefix = "conv" + std::to_string(block) + "/";
    const FaceTensor& blockBias = bias(prefix + "bias");
    const int next = blockBias.shape[0];
    convolution(tensor(prefix + "depthwise_filter", {3, 3, channels, 1}), nullptr, channels, 1,
                false);
    convolution(tensor(prefix + "pointwise_filter", {1, 1, channels, next}), &blockBias, 1, 0,
                true);
    maxpool(block == 5 ? 1 : 2);
    channels = next;
  }
  convolution(tensor("conv8/filters", {1, 1, channels, kAnchorCount * 5}),
              &tensor("conv8/bias", {kAnchorCount * 5}), 1, 0, false);
  cfg = net.str();
}

GridOutput runNetwork(const FaceModel& model, const std::vector<float>& input, int side) {
  if (input.size() != static_cast<std::size_t>(3 * side * side)) {
    throw std::invalid_argument("runNetwork: input is not 3 × side × side");
  }
  cv::dnn::Net net =
      detail::darknetNetwork(model.configuration, model.weights, InferenceTarget::cpu);
  return detail::withOpenCVErrors([&] {
    const int shape[] = {1, 3, side, side};
    const cv::Mat blob(4, shape, CV_32F, const_cast<float*>(input.data()));
    net.setInput(blob);
    const cv::Mat out = net.forward();
    GridOutput result;
    result.grid = out.size[2];
    result.values.assign(out.ptr<float>(), out.ptr<float>() + out.total());
    return result;
  });
}

}  // namespace face

namespace FaceModelLoader {

fs::path locate(const std::optional<fs::path>& explicitDirectory) {
  if (explicitDirectory) return *explicitDirectory;
  return locate(explicitDirectory, defaultSearchPlaces());
}

fs::path locate(const std::optional<fs::path>& explicitDirectory, const ModelSearchPlaces& places) {
  if (explicitDirectory) return *explicitDirectory;
  for (const fs::path& folder : searchFolders(places)) {
    if (holdsModel(folder / folderName)) return folder / folderName;
  }
  throw CropError(std::string(messages::faceModelNotFound));
}

std::shared_ptr<const FaceModel> load(const fs::path& directory) {
  auto model = std::make_shared<FaceModel>();
  model->directory = directory;
  model->tensors = readTensors(directory);
  face::toDarknet(model->tensors, model->configuration, model->weights);
  // Build once so a model OpenCV cannot run fails here, not on every photo.
  detail::darknetNetwork(model->configuration, model->weights, InferenceTarget::cpu);
  return model;
}

}  // namespace FaceModelLoader

struct FaceDetector::Network {
  std::shared_ptr<const FaceModel> model;
  FaceSearchContext context;
  cv::dnn::Net net;
  cv::Mat canvas;
  cv::Mat blob;
};

FaceDetector::FaceDetector(std::shared_ptr<const FaceModel> model, FaceSearchContext context)
    : network_(std::make_unique<Network>()) {
  if (!model) throw std::invalid_argument("FaceDetector needs a loaded model");
  network_->net =
      detail::darknetNetwork(model->configuration, model->weights, InferenceTarget::cpu);
  network_->model = std::move(model);
  network_->context = context;
}

FaceDetector::~FaceDetector() = default;
FaceDetector::FaceDetector(FaceDetector&&) noexcept = default;
FaceDetector& FaceDetector::operator=(FaceDetector&&) noexcept = default;

std::vector<Detection> FaceDetector::detect(const RGBImage& image, const Box& searchRegion) {
  if (!image.valid()) throw std::invalid_argument("FaceDetector::detect: invalid RGBImage");
  const Box region = searchRegion.clipped();
  if (!(region.width > 0 && region.height > 0)) return {};
  Network& n = *network_;
  const FaceSearchContext& c = n.context;

  // The pixels the network sees: the region and its context, inside the image.
  const double imageWidth = image.width;
  const double imageHeight = image.height;
  const int left =
      std::clamp(static_cast<int>(std::floor((region.x - c.sides * region.width) * imageWidth)), 0,
                 image.width);
  const int right =
      std::clamp(static_cast<int>(std::ceil((region.maxX() + c.sides * region.width) * imageWidth)),
                 0, image.width);
  const int top =
      std::clamp(static_cast<int>(std::floor((region.y - c.above * region.height) * imageHeight)),
                 0, image.height);
  const int bottom = std::clamp(
      static_cast<int>(std::ceil((region.maxY() + c.below * region.height) * imageHeight)), 0,
      image.height);
  if (right <= left || bottom <= top) return {};
  const int windowWidth = right - left;
  const int windowHeight = bottom - top;
  // Padded to a square at the right or bottom, then scaled to the input.
  const double scale = static_cast<double>(face::kInputSize) / std::max(windowWidth, windowHeight);
  const int scaledWidth =
      std::clamp(static_cast<int>(std::lround(windowWidth * scale)), 1, face::kInputSize);
  const int scaledHeight =
      std::clamp(static_cast<int>(std::lround(windowHeight * scale)), 1, face::kInputSize);

  cv::Mat output;
  detail::withOpenCVErrors([&] {
    const cv::Mat source(image.height, image.width, CV_8UC3,
                         const_cast<std::uint8_t*>(image.pixels.data()));
    n.canvas.create(face::kInputSize, face::kInputSize, CV_8UC3);
    n.canvas.setTo(cv::Scalar::all(0));
    cv::Mat target = n.canvas(cv::Rect(0, 0, scaledWidth, scaledHeight));
    if (scale < 1) {
      const std::size_t stride = std::size_t(image.width) * 3;
      shrinkByArea(image.pixels.data() + std::size_t(top) * stride + std::size_t(left) * 3, stride,
                   windowWidth, windowHeight, target.data, target.step[0], scaledWidth,
                   scaledHeight);
    } else {
      cv::resize(source(cv::Rect(left, top, windowWidth, windowHeight)), target, target.size(), 0,
                 0, cv::INTER_LINEAR);
    }
    cv::dnn::blobFromImage(n.canvas, n.blob, 1.0 / 255.0, cv::Size(),
                           cv::Scalar(face::kMean[0], face::kMean[1], face::kMean[2]), false,
                           false);
    n.net.setInput(n.blob);
    output = n.net.forward();
  });
  if (output.dims != 4 || output.size[1] != face::kAnchorCount * 5 ||
      output.size[2] != output.size[3]) {
    throw std::runtime_error("人脸检测网络的输出形状不符");
  }

  // Decode: cell (row, column), anchor a; values relative to the 224 input.
  const int grid = output.size[2];
  const float* values = output.ptr<float>();
  const auto at = [&](int channel, int row, int column) {
    return values[(static_cast<std::size_t>(channel) * grid + row) * grid + column];
  };
  const double pixelsPerInputX = windowWidth / static_cast<double>(scaledWidth);
  const double pixelsPerInputY = windowHeight / static_cast<double>(scaledHeight);
  std::vector<cv::Rect2d> boxes;  // image pixels
  std::vector<float> scores;
  for (int row = 0; row < grid; ++row) {
    for (int column = 0; column < grid; ++column) {
      for (int a = 0; a < face::kAnchorCount; ++a) {
        const float score = sigmoid(at(a * 5 + 4, row, column));
        if (score < kReportFloor) continue;
        const double cx = (column + double{sigmoid(at(a * 5, row, column))}) / grid;
        const double cy = (row + double{sigmoid(at(a * 5 + 1, row, column))}) / grid;
        const double w = std::exp(double{at(a * 5 + 2, row, column)}) * face::kAnchors[a][0] / grid;
        const double h = std::exp(double{at(a * 5 + 3, row, column)}) * face::kAnchors[a][1] / grid;
        const double size = face::kInputSize;
        boxes.emplace_back(left + (cx - w / 2) * size * pixelsPerInputX,
                           top + (cy - h / 2) * size * pixelsPerInputY, w * size * pixelsPerInputX,
                           h * size * pixelsPerInputY);
        scores.push_back(score);
      }
    }
  }
  std::vector<int> survivors;
  detail::withOpenCVErrors(
      [&] { cv::dnn::NMSBoxes(boxes, scores, kReportFloor, kSuppressionOverlap, survivors); });

  std::vector<Detection> faces;
  for (const int index : survivors) {
    const cv::Rect2d& b = boxes[static_cast<std::size_t>(index)];
    const Box box{b.x / imageWidth, b.y / imageHeight, b.width / imageWidth,
                  b.height / imageHeight};
    const double cx = box.centerX();
    const double cy = box.centerY();
    if (cx < region.x || cx > region.maxX() || cy < region.y || cy > region.maxY()) continue;
    // A face lies in the picture the network saw; a box reaching far beyond
    // it is a blob (a blurred torso, a bib) rather than a face. Such a blob
    // can still lie inside the runner's box, where, being larger than the
    // real face, it would become the measured region.
    const double seenWidth = std::max(0.0, std::min(b.x + b.width, static_cast<double>(right)) -
                                               std::max(b.x, static_cast<double>(left)));
    const double seenHeight = std::max(0.0, std::min(b.y + b.height, static_cast<double>(bottom)) -
                                                std::max(b.y, static_cast<double>(top)));
    if (seenWidth * seenHeight < kSeenShare * b.width * b.height) continue;
    faces.push_back({box, scores[static_cast<std::size_t>(index)]});
  }
  return faces;
}

void FaceDetector::warmup(const RGBImage& image) { detect(image, Box{0, 0, 1, 1}); }

}  // namespace kestrel
