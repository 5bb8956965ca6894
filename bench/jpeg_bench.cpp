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

#include "core/jpeg/detail/libjpeg_support.h"
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

// Probes for a one-decode pipeline, in which the analysis thumbnail would
// be decoded in libjpeg's buffered-image mode so that every DCT coefficient
// stays in memory for the focus regions and the crop. Compared: the
// thumbnail's decode (1/4 scale, RGB, no resampling) as it is done now and
// with the coefficients kept; and the encoding half of a crop served from
// kept coefficients (the whole image encoded; an 88 % crop encodes 77 % of
// its blocks).
bool decodeQuarterScale(const Bytes& bytes, bool keepCoefficients, std::vector<std::uint8_t>& rows,
                        libjpeg::DecompressHandle& decoder) {
  jpeg_decompress_struct* in = decoder.get();
  return libjpeg::guarded(decoder.errors(), [&] {
    jpeg_mem_src(in, bytes.data(), bytes.size());
    jpeg_read_header(in, TRUE);
    in->buffered_image = keepCoefficients ? TRUE : FALSE;
    in->scale_num = 1;
    in->scale_denom = 4;
    in->out_color_space = JCS_RGB;
    jpeg_start_decompress(in);
    if (keepCoefficients) {
      while (jpeg_consume_input(in) != JPEG_REACHED_EOI) {
      }
      jpeg_start_output(in, in->input_scan_number);
    }
    rows.resize(std::size_t(in->output_width) * 3 * 16);
    JSAMPROW pointers[16];
    for (int i = 0; i < 16; ++i) pointers[i] = rows.data() + std::size_t(i) * in->output_width * 3;
    while (in->output_scanline < in->output_height) jpeg_read_scanlines(in, pointers, 16);
    if (keepCoefficients) {
      jpeg_finish_output(in);
      benchmark::DoNotOptimize(jpeg_read_coefficients(in));
    }
  });
}

void BM_OneDecodeProbeThumbnail(benchmark::State& state) {
  const Photo& p = photo();
  const bool keep = state.range(0) != 0;
  std::vector<std::uint8_t> rows;
  for (auto _ : state) {
    libjpeg::ErrorManager errors(false);
    libjpeg::DecompressHandle decoder(errors);
    if (!decodeQuarterScale(p.bytes, keep, rows, decoder)) state.SkipWithError(errors.message);
    jpeg_abort_decompress(decoder.get());
  }
  state.SetLabel(keep ? "coefficients kept" : "streamed (as now)");
}
BENCHMARK(BM_OneDecodeProbeThumbnail)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("keep")
    ->Unit(benchmark::kMillisecond);

void BM_OneDecodeProbeEncodeKept(benchmark::State& state) {
  const Photo& p = photo();
  libjpeg::ErrorManager errors(false);
  libjpeg::DecompressHandle decoder(errors);
  libjpeg::CompressHandle encoder(errors);
  std::vector<std::uint8_t> rows;
  if (!decodeQuarterScale(p.bytes, true, rows, decoder)) state.SkipWithError(errors.message);
  for (auto _ : state) {
    libjpeg::MallocDestination destination{};
    const bool ok = libjpeg::guarded(errors, [&] {
      jvirt_barray_ptr* coefficients = jpeg_read_coefficients(decoder.get());
      jpeg_copy_critical_parameters(decoder.get(), encoder.get());
      destination.attach(encoder.get(), p.bytes.size() + 65536);
      jpeg_write_coefficients(encoder.get(), coefficients);
      jpeg_finish_compress(encoder.get());
    });
    destination.discard();
    jpeg_abort_compress(encoder.get());
    if (!ok) state.SkipWithError(errors.message);
  }
  jpeg_abort_decompress(decoder.get());
}
BENCHMARK(BM_OneDecodeProbeEncodeKept)->Unit(benchmark::kMillisecond);

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
