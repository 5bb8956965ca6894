// SPDX-License-Identifier: MIT
// The resources one worker uses for its files, and how a run makes them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/run/batch_configuration.h"
#include "core/run/run_summary.h"

namespace kestrel {

class PersonDetector;
class SubjectSharpnessAnalyzer;
struct DetectionModel;
struct FaceModel;

// One worker's own engine and, in automatic mode, its person detector and
// sharpness analyzer (with its own face detector). Used by one thread at a
// time; nothing in it is shared with other workers.
class Worker {
 public:
  Worker();
  virtual ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  JPEGEngine jpeg;
  std::unique_ptr<PersonDetector> detector;  // present only when a model was loaded
  std::unique_ptr<SubjectSharpnessAnalyzer> quality;

  // With a detector: makes the analysis thumbnail, detects the people and
  // assesses the subject's sharpness, timing each stage into
  // `result.timings` and storing the assessment in `result.sharpness`.
  // Returns the people found; without a detector, nobody. Virtual so that
  // tests can stand in for the models.
  virtual std::vector<Person> analyze(const ImageSource& source, const JPEGInfo& info,
                                      int orientation, const BatchConfiguration& config,
                                      FileResult& result);
};

// What the workers of one run share. In automatic mode it locates and loads
// the person model and the face model once; it then makes the workers and
// warms the model up so the first photo does not carry the start-up cost.
class WorkerFactory {
 public:
  WorkerFactory(const BatchConfiguration& config, int workerCount);
  ~WorkerFactory();

  std::unique_ptr<Worker> make() const;
  // Detection on a black 416 × 416 image with a separate detector, then the
  // first worker's face detector on it; nothing to do without a model.
  void warmUp(Worker& first) const;
  // The file path of the loaded person model, if any.
  std::optional<std::string> modelPath() const;

 private:
  std::shared_ptr<const DetectionModel> model_;
  std::shared_ptr<const FaceModel> faceModel_;
};

}  // namespace kestrel
