// SPDX-License-Identifier: MIT
// JPEG engine speed on one 24 MP race photo: header, analysis thumbnail,
// ~88 % lossless crop and grayscale focus regions, each against the cost of
// running `jpegtran -crop … -copy all` and `cp` on the same file.
//
//   KESTREL_TEST_DATA=/path/to/photos kestrel_jpeg_bench [--benchmark_…]
//   KESTREL_BENCH_JPEG=/path/to/photo.jpg overrides the photo.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/malloc_tuning.h"

extern char** environ;

namespace kestrel {
namespace {

namespace fs = std::filesystem;

struct Photo {
  fs::path path;
  Bytes bytes;
  JPEGInfo info;
  PixelRect crop;
};

const Photo& photo() {
  static const Photo loaded = [] {
    Photo p;
    if (const char* file = std::getenv("KESTREL_BENCH_JPEG")) {
      p.path = file;
    } else if (const char* data = std::getenv("KESTREL_TEST_DATA")) {
      p.path = fs::path(data) / "race-large" / "0009-IMG_0027.JPG";
    }
    std::ifstream in(p.path, std::ios::binary | std::ios::ate);
    if (p.path.empty() || !in) {
      std::cerr << "Set KESTREL_TEST_DATA to the shared photos folder (or KESTREL_BENCH_JPEG).\n";
      std::exit(2);
    }
    std::vector<std::uint8_t> data(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    p.bytes = Bytes(std::move(data));
    JPEGEngine engine;
    p.info = engine.header(p.bytes);
    const std::int64_t w = p.info.width * 88 / 100, h = p.info.height * 88 / 100;
    p.crop = {(p.info.width - w) / 2 / p.info.mcuWidth * p.info.mcuWidth,
              (p.info.height - h) / 2 / p.info.mcuHeight * p.info.mcuHeight, w, h};
    return p;
  }();
  return loaded;
}

// Runs a program with stdout/stderr discarded and waits for it.
bool runProcess(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void BM_Header(benchmark::State& state) {
  const Photo& p = photo();
  JPEGEngine engine;
  for (auto _ : state) benchmark::DoNotOptimize(engine.header(p.bytes));
}
BENCHMARK(BM_Header)->Unit(benchmark::kMicrosecond);

void BM_Thumbnail1024(benchmark::State& state) {
  const Photo& p = photo();
  for (auto _ : state) {
    const ImageSource source = ImagePreparation::source(p.bytes);
    benchmark::DoNotOptimize(ImagePreparation::thumbnail(source, 1024));
  }
}
BENCHMARK(BM_Thumbnail1024)->Unit(benchmark::kMillisecond);

void BM_Crop88(benchmark::State& state) {
  const Photo& p = photo();
  JPEGEngine engine;
  for (auto _ : state) benchmark::DoNotOptimize(engine.crop(p.bytes, p.crop));
  state.SetLabel(std::to_string(p.crop.width) + "x" + std::to_string(p.crop.height));
}
BENCHMARK(BM_Crop88)->Unit(benchmark::kMillisecond);

// A 600 × 200 face-sized region near the top, the middle and the bottom
// (the decoder must skip everything above it), and a large half-scale one.
void BM_GrayRegion(benchmark::State& state) {
  const Photo& p = photo();
  JPEGEngine engine;
  const std::int64_t side = state.range(1);
  const std::int64_t height = side == 600 ? 200 : side;
  const std::int64_t y = (p.info.height - height) * state.range(0) / 100;
  const PixelRect rect{p.info.width / 3, y, side, height};
  for (auto _ : state) benchmark::DoNotOptimize(engine.grayscaleROI(p.bytes, rect));
}
BENCHMARK(BM_GrayRegion)
    ->ArgsProduct({{0, 50, 100}, {600}})
    ->Args({50, 1400})
    ->ArgNames({"yPercent", "width"})
    ->Unit(benchmark::kMillisecond);

void BM_JpegtranCropProcess(benchmark::State& state) {
  const Photo& p = photo();
  const std::string geometry = std::to_string(p.crop.width) + "x" + std::to_string(p.crop.height) +
                               "+" + std::to_string(p.crop.x) + "+" + std::to_string(p.crop.y);
  const fs::path out =
      fs::temp_directory_path() / ("kestrel-bench-" + std::to_string(getpid()) + ".jpg");
  for (auto _ : state) {
    if (!runProcess({"jpegtran", "-crop", geometry, "-copy", "all", "-outfile", out.string(),
                     p.path.string()})) {
      state.SkipWithError("jpegtran failed (not installed?)");
      break;
    }
  }
  fs::remove(out);
}
BENCHMARK(BM_JpegtranCropProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CpProcess(benchmark::State& state) {
  const Photo& p = photo();
  const fs::path out =
      fs::temp_directory_path() / ("kestrel-bench-" + std::to_string(getpid()) + ".cp");
  for (auto _ : state) {
    if (!runProcess({"cp", p.path.string(), out.string()})) {
      state.SkipWithError("cp failed");
      break;
    }
  }
  fs::remove(out);
}
BENCHMARK(BM_CpProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  kestrel::tuneMallocForLargeBuffers();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
