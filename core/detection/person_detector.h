// SPDX-License-Identifier: MIT
// PersonDetector: the people in an analysis image, as Person boxes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/base/geometry.h"
#include "core/base/image.h"
#include "core/detection/model_loader.h"

namespace kestrel {

// What the detection model reports, after non-maximum suppression.
struct ObservationLabel {
  std::string identifier;  // class name
  float confidence = 0;
};

// An object: its box normalized to the whole image (top-left origin), its
// score, and the classes it was kept for, best first.
struct ObjectObservation {
  Box boundingBox;
  float confidence = 0;
  std::vector<ObservationLabel> labels;
};

// A label for the whole image: what a classification model reports instead
// of objects. Never a usable detection.
struct ClassificationObservation {
  std::string identifier;
  float confidence = 0;
};

using Observation = std::variant<ObjectObservation, ClassificationObservation>;

// The people among the model's observations, in the order given.
// For each object, the first label whose identifier in lower case is
// "person" decides (later labels are not looked at): kept when its score is
// ≥ 0.2 (as float), with confidence min(object score, label score) and the
// box clipped to the unit square; boxes left with no width or height are
// dropped. Absent results, or any classification among them, throw
// CropError messages::notObjectDetection; an empty list is no error.
std::vector<Person> personsFromObservations(const std::optional<std::vector<Observation>>& results);

// Runs the shared model on analysis images. Each detector owns its own
// network (built from the model's buffers) and is used by one thread at a
// time; detectors of different workers run in parallel over one model.
class PersonDetector {
 public:
  explicit PersonDetector(std::shared_ptr<const DetectionModel> model);
  ~PersonDetector();
  PersonDetector(PersonDetector&&) noexcept;
  PersonDetector& operator=(PersonDetector&&) noexcept;
  PersonDetector(const PersonDetector&) = delete;
  PersonDetector& operator=(const PersonDetector&) = delete;

  // The people in `image` (upright RGB, any size), in the model's order
  // (best score first). The whole image is scaled into the network input
  // keeping its aspect ratio, so no part is cut off. Failures of the
  // network run throw std::runtime_error with OpenCV's text.
  std::vector<Person> detect(const RGBImage& image);

  // The model's observations for `image` before the person rules.
  std::vector<Observation> observe(const RGBImage& image);

 private:
  struct Network;
  std::unique_ptr<Network> network_;
};

// The image a run warms its detectors up with: black, 416 × 416.
RGBImage detectionWarmupImage();

// OpenCV's own thread pool is left to a single worker; with several workers
// each runs single-threaded, which is faster than workers competing for one
// pool. The batch run calls this before it makes its workers.
void configureDetectionThreads(int workers);

}  // namespace kestrel
