// SPDX-License-Identifier: MIT
#include "core/batch/worker.h"

#include "core/base/clock.h"
#include "core/base/crop_error.h"
#include "core/bibs/bib_reader.h"
#include "core/detection/face_detector.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/sharpness/subject_sharpness_analyzer.h"

namespace kestrel {

namespace {

constexpr std::string_view kDamaged = "照片数据损坏，请人工检查：";

// The analyzer's face service, answered by the worker's own face detector.
class DetectorFaceFinder final : public FaceFinder {
 public:
  explicit DetectorFaceFinder(std::shared_ptr<const FaceModel> model)
      : detector_(std::move(model)) {}

  std::vector<Detection> faces(const RGBImage& image, const Box& region) override {
    return detector_.detect(image, region);
  }

 private:
  FaceDetector detector_;
};

}  // namespace

Worker::Worker() = default;
Worker::~Worker() = default;

std::vector<Person> Worker::analyze(const ImageSource& source, const JPEGInfo& info,
                                    int orientation, const BatchConfiguration& config,
                                    FileResult& result) {
  if (!detector) return {};
  StageTimes& times = result.timings;
  const ImagePreparation::AnalysisImage analysis = timedInto(times.thumbnail, [&] {
    return ImagePreparation::analysisThumbnail(source, config.analysisLongEdge, bibs != nullptr);
  });
  const RGBImage& thumbnail = analysis.image;
  std::vector<Person> people =
      timedInto(times.inference, [&] { return detector->detect(thumbnail); });
  result.sharpness = timedInto(times.sharpness, [&] {
    // Damaged data cannot be judged and must not be delivered: the photo is
    // held for review with the decoder's own words, like any undecided one.
    if (analysis.damage)
      return SharpnessAssessment::review(std::string(kDamaged) + *analysis.damage);
    return quality->assess(source.data, info, orientation, thumbnail, people, jpeg,
                           config.confidence);
  });
  if (bibs && !analysis.damage) {
    result.bibs = timedInto(times.bibs, [&] {
      // The numbers are an extra: a region that cannot be decoded leaves
      // the photo without them, never without its delivery.
      try {
        return bibs->read(source.data.span(), info, orientation, people, jpeg,
                          analysis.luma ? &*analysis.luma : nullptr);
      } catch (const CropError&) {
        return std::vector<Bib>{};
      }
    });
  }
  return people;
}

WorkerFactory::WorkerFactory(const BatchConfiguration& config, int workerCount) {
  if (config.mode != ProcessingMode::automatic) return;
  model_ = ModelLoader::load(ModelLoader::locate(config.model), config.compute);
  faceModel_ = FaceModelLoader::load(FaceModelLoader::locate(config.faceModel));
  readBibs_ = config.readBibs;
  configureDetectionThreads(workerCount);
}

WorkerFactory::~WorkerFactory() = default;

std::unique_ptr<Worker> WorkerFactory::make() const {
  auto worker = std::make_unique<Worker>();
  if (model_) {
    worker->quality = std::make_unique<SubjectSharpnessAnalyzer>(
        std::make_unique<DetectorFaceFinder>(faceModel_));
    worker->detector = std::make_unique<PersonDetector>(model_);
    if (readBibs_) worker->bibs = std::make_unique<BibReader>();
  }
  return worker;
}

void WorkerFactory::warmUp(Worker& first) const {
  if (!model_) return;
  const RGBImage black = detectionWarmupImage();
  PersonDetector(model_).detect(black);
  first.quality->warmup(black);
}

std::optional<std::string> WorkerFactory::modelPath() const {
  if (!model_) return std::nullopt;
  return model_->source.string();
}

}  // namespace kestrel
