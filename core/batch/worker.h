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

class BibReader;
class PersonDetector;
class SubjectSharpnessAnalyzer;
struct DetectionModel;
struct FaceModel;

// One worker's own engine and, in automatic mode, its person detector,
// sharpness analyzer (with its own face detector) and bib reader (with its
// own Tesseract engine). Used by one thread at a time; nothing in it is
// shared with other workers.
class Worker {
 public:
  Worker();
  virtual ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  JPEGEngine jpeg;
  std::unique_ptr<PersonDetector> detector;  // present only when a model was loaded
  std::unique_ptr<SubjectSharpnessAnalyzer> quality;
  std::unique_ptr<BibReader> bibs;  // present when race numbers are read

  // With a detector: makes the analysis thumbnail, detects the people,
  // assesses the subject's sharpness and, with a bib reader, reads the
  // runners' race numbers, timing each stage into `result.timings` and
  // storing the assessment in `result.sharpness`, the numbers in
  // `result.bibs`.
  // Returns the people found; without a detector, nobody. Virtual so that
  // tests can stand in for the models.
  virtual std::vector<Person> analyze(const ImageSource& source, const JPEGInfo& info,
                                      int orientation, const BatchConfiguration& config,
                                      FileResult& result);
};

// What the workers of one run share. In automatic mode it locates and loads
// the person model and the face model once; it then makes the workers (each
// with its own bib reader unless bibs are switched off) and warms the model
// up so the first photo does not carry the start-up cost.
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
  bool readBibs_ = false;
};

}  // namespace kestrel
