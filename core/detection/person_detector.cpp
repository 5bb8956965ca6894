// SPDX-License-Identifier: MIT
#include "core/detection/person_detector.h"

#include <algorithm>
#include <cctype>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "core/base/crop_error.h"
#include "core/detection/detail/opencv_support.h"
#include "core/detection/detail/yolo_decode.h"

namespace kestrel {

namespace {

constexpr std::string_view kPersonLabel = "person";
constexpr float kMinimumLabelScore = 0.2f;
// Darknet pads its letterbox with mid grey; the network was trained on that.
constexpr double kPadLevel = 127.5;

bool isPersonLabel(const std::string& identifier) {
  if (identifier.size() != kPersonLabel.size()) return false;
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(identifier[i])) != kPersonLabel[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<Person> personsFromObservations(
    const std::optional<std::vector<Observation>>& results) {
  if (!results) throw CropError(std::string(messages::notObjectDetection));
  for (const Observation& observation : *results) {
    if (!std::holds_alternative<ObjectObservation>(observation)) {
      throw CropError(std::string(messages::notObjectDetection));
    }
  }
  std::vector<Person> people;
  for (const Observation& observation : *results) {
    const auto& object = std::get<ObjectObservation>(observation);
    const auto label = std::find_if(object.labels.begin(), object.labels.end(),
                                    [](const auto& l) { return isPersonLabel(l.identifier); });
    if (label == object.labels.end() || label->confidence < kMinimumLabelScore) continue;
    Person person;
    person.box = object.boundingBox.clipped();
    person.confidence = static_cast<double>(std::min(object.confidence, label->confidence));
    // Also drops NaN boxes, which compare false with everything.
    if (!(person.box.width > 0 && person.box.height > 0)) continue;
    people.push_back(person);
  }
  return people;
}

struct PersonDetector::Network {
  std::shared_ptr<const DetectionModel> model;
  cv::dnn::Net net;
  std::vector<std::string> outputNames;
  cv::Mat canvas;  // the letterboxed input, reused
  cv::Mat blob;
};

PersonDetector::PersonDetector(std::shared_ptr<const DetectionModel> model)
    : network_(std::make_unique<Network>()) {
  if (!model) throw std::invalid_argument("PersonDetector needs a loaded model");
  network_->net = detail::darknetNetwork(model->configuration, model->weights, model->target);
  network_->outputNames =
      detail::withOpenCVErrors([&] { return network_->net.getUnconnectedOutLayersNames(); });
  network_->model = std::move(model);
}

PersonDetector::~PersonDetector() = default;
PersonDetector::PersonDetector(PersonDetector&&) noexcept = default;
PersonDetector& PersonDetector::operator=(PersonDetector&&) noexcept = default;

std::vector<Observation> PersonDetector::observe(const RGBImage& image) {
  if (!image.valid()) throw std::invalid_argument("PersonDetector::detect: invalid RGBImage");
  Network& n = *network_;
  const yolo::Letterbox box = yolo::letterboxFor(image.width, image.height, n.model->inputSide);

  std::vector<cv::Mat> outputs;
  detail::withOpenCVErrors([&] {
    // The image is only read; OpenCV's Mat has no const view.
    const cv::Mat source(image.height, image.width, CV_8UC3,
                         const_cast<std::uint8_t*>(image.pixels.data()));
    n.canvas.create(box.inputHeight, box.inputWidth, CV_8UC3);
    n.canvas.setTo(cv::Scalar::all(kPadLevel));
    cv::Mat target = n.canvas(cv::Rect(box.left, box.top, box.scaledWidth, box.scaledHeight));
    if (box.scaledWidth < image.width && box.scaledHeight <= image.height) {
      // Area averaging, exact and several times cheaper than OpenCV's
      // INTER_AREA at the fractional ratios of a thumbnail to the input.
      shrinkByArea(image.pixels.data(), std::size_t(image.width) * 3, image.width, image.height,
                   target.data, target.step[0], box.scaledWidth, box.scaledHeight);
    } else {
      cv::resize(source, target, target.size(), 0, 0, cv::INTER_LINEAR);
    }
    // RGB already, as darknet expects; values 0…1.
    cv::dnn::blobFromImage(n.canvas, n.blob, 1.0 / 255.0, cv::Size(), cv::Scalar(), false, false);
    n.net.setInput(n.blob);
    n.net.forward(outputs, n.outputNames);
  });

  std::vector<yolo::RegionRows> layers;
  for (const cv::Mat& output : outputs) {
    if (output.dims != 2 || output.type() != CV_32F || !output.isContinuous()) {
      throw CropError(std::string(messages::notObjectDetection));
    }
    layers.push_back({output.ptr<float>(), output.rows, output.cols});
  }
  std::vector<Observation> result;
  for (auto& object : yolo::observations(layers, box, n.model->labels)) {
    result.emplace_back(std::move(object));
  }
  return result;
}

std::vector<Person> PersonDetector::detect(const RGBImage& image) {
  return personsFromObservations(observe(image));
}

RGBImage detectionWarmupImage() {
  RGBImage image;
  image.width = image.height = 416;
  image.pixels.assign(416 * 416 * 3, 0);
  return image;
}

void configureDetectionThreads(int workers) {
  // A negative count restores OpenCV's default (one thread per core).
  cv::setNumThreads(workers > 1 ? 1 : -1);
}

}  // namespace kestrel
