// SPDX-License-Identifier: MIT
// Detection speed on the race photos' analysis images (long edge 1024):
// person detection per photo, and face detection per photo over the bands
// the sharpness analysis searches (the top 0.42 of up to three of the
// largest confident runners). One worker uses OpenCV's own thread pool;
// with two workers each runs single-threaded on its own network, as in a
// batch run. Also detection plus the whole sharpness assessment against the
// lossless crop of the same photos (the goal: analysis costs less than the
// crop). items_per_second is the photos all workers finish per second;
// with two workers, one worker's time per photo is the CPU column.
//
//   KESTREL_TEST_DATA=… KESTREL_TEST_MODELS=… detection_bench
//     --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "core/base/bytes.h"
#include "core/batch/worker.h"
#include "core/detection/face_detector.h"
#include "core/detection/model_loader.h"
#include "core/detection/person_detector.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/malloc_tuning.h"
#include "core/planning/crop_planner.h"
#include "core/sharpness/subject_sharpness_analyzer.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

struct Photo {
  Bytes data;
  JPEGInfo info;
  int orientation = 1;
  RGBImage image;
  std::vector<Box> bands;  // face search bands of the assessed runners
};

struct Fixture {
  std::shared_ptr<const DetectionModel> personModel;
  std::shared_ptr<const FaceModel> faceModel;
  std::vector<Photo> photos;
};

const Fixture& fixture() {
  static const Fixture loaded = [] {
    const char* data = std::getenv("KESTREL_TEST_DATA");
    const char* models = std::getenv("KESTREL_TEST_MODELS");
    if (!data || !models) {
      std::cerr << "Set KESTREL_TEST_DATA and KESTREL_TEST_MODELS to the shared folders.\n";
      std::exit(2);
    }
    Fixture f;
    f.personModel = ModelLoader::load(
        fs::path(models) / "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg", ComputeChoice::cpu);
    f.faceModel = FaceModelLoader::load(fs::path(models) / "face-api");
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(data) / "race-large")) {
      files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    PersonDetector detector(f.personModel);
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      Photo photo;
      photo.data = Bytes(std::move(bytes));
      photo.info = JPEGEngine().header(photo.data);
      const ImageSource source = ImagePreparation::source(photo.data);
      photo.orientation = ImagePreparation::orientation(source);
      photo.image = ImagePreparation::thumbnail(source, 1024);
      std::vector<Person> people = detector.detect(photo.image);
      std::erase_if(people,
                    [](const Person& p) { return p.confidence < 0.35 || p.box.height < 0.2; });
      std::stable_sort(people.begin(), people.end(), [](const Person& a, const Person& b) {
        return a.box.area() > b.box.area();
      });
      for (std::size_t i = 0; i < std::min<std::size_t>(3, people.size()); ++i) {
        const Box& b = people[i].box;
        photo.bands.push_back(Box{b.x, b.y, b.width, 0.42 * b.height}.clipped());
      }
      f.photos.push_back(std::move(photo));
    }
    return f;
  }();
  return loaded;
}

void BM_PersonDetection(benchmark::State& state) {
  const Fixture& f = fixture();
  configureDetectionThreads(state.threads());
  PersonDetector detector(f.personModel);
  std::size_t next = static_cast<std::size_t>(state.thread_index());
  for (auto _ : state) {
    benchmark::DoNotOptimize(detector.detect(f.photos[next++ % f.photos.size()].image));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PersonDetection)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(1)->Threads(2);

void BM_FaceDetectionPerPhoto(benchmark::State& state) {
  const Fixture& f = fixture();
  configureDetectionThreads(state.threads());
  FaceDetector detector(f.faceModel);
  std::size_t next = static_cast<std::size_t>(state.thread_index());
  std::int64_t bands = 0;
  for (auto _ : state) {
    const Photo& photo = f.photos[next++ % f.photos.size()];
    for (const Box& band : photo.bands)
      benchmark::DoNotOptimize(detector.detect(photo.image, band));
    bands += static_cast<std::int64_t>(photo.bands.size());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bands_per_photo"] =
      benchmark::Counter(static_cast<double>(bands) / static_cast<double>(state.iterations()),
                         benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_FaceDetectionPerPhoto)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2);

// What automatic mode adds to a photo once its thumbnail exists: person
// detection and the whole sharpness assessment (face search, region decode,
// measures), against the lossless crop of the same photos.
void BM_DetectionAndSharpness(benchmark::State& state) {
  const Fixture& f = fixture();
  const char* models = std::getenv("KESTREL_TEST_MODELS");
  BatchConfiguration config("/", "/");
  config.model = fs::path(models) / "yolo-fastest-1.1-xl/yolo-fastest-1.1-xl.cfg";
  config.faceModel = fs::path(models) / "face-api";
  config.compute = ComputeChoice::cpu;
  const WorkerFactory factory(config, state.threads());
  const std::unique_ptr<Worker> worker = factory.make();
  std::size_t next = static_cast<std::size_t>(state.thread_index());
  for (auto _ : state) {
    const Photo& photo = f.photos[next++ % f.photos.size()];
    const std::vector<Person> people = worker->detector->detect(photo.image);
    benchmark::DoNotOptimize(worker->quality->assess(photo.data, photo.info, photo.orientation,
                                                     photo.image, people, worker->jpeg, 0.35));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectionAndSharpness)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2);

void BM_LosslessCropSamePhotos(benchmark::State& state) {
  const Fixture& f = fixture();
  JPEGEngine engine;
  const CropPlanner planner{0.15, 4000, 18'000'000, 0.35};
  std::size_t next = static_cast<std::size_t>(state.thread_index());
  for (auto _ : state) {
    const Photo& photo = f.photos[next++ % f.photos.size()];
    const CropDecision fixed = planner.plan(photo.info, photo.orientation, {}, true, std::nullopt);
    benchmark::DoNotOptimize(engine.crop(photo.data, *fixed.crop));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LosslessCropSamePhotos)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2);

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  kestrel::tuneMallocForLargeBuffers();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
