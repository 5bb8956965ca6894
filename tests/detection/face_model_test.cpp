// SPDX-License-Identifier: MIT
// The face model: reading the published manifest and weights, the network
// OpenCV runs checked against a direct computation in TensorFlow's layout
// and padding rules, and where detections may lie.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "core/batch/crop_error.h"
#include "core/detection/face_detector.h"
#include "core/detection/face_network.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

// --- a small model of the same architecture -----------------------------

struct TensorEntry {
  std::string name;
  std::vector<int> shape;
};

// Channel counts 4 → 6 → 6 → 8 → 8 → 8 instead of 16 … 512.
std::vector<TensorEntry> smallArchitecture() {
  std::vector<TensorEntry> layout = {{"conv0/filters", {3, 3, 3, 4}}, {"conv0/bias", {4}}};
  const int channels[] = {4, 6, 6, 8, 8, 8};
  for (int block = 1; block <= 5; ++block) {
    const std::string p = "conv" + std::to_string(block) + "/";
    const int in = channels[block - 1];
    const int out = channels[block];
    layout.push_back({p + "depthwise_filter", {3, 3, in, 1}});
    layout.push_back({p + "pointwise_filter", {1, 1, in, out}});
    layout.push_back({p + "bias", {out}});
  }
  layout.push_back({"conv8/filters", {1, 1, 8, 25}});
  layout.push_back({"conv8/bias", {25}});
  return layout;
}

std::size_t elements(const std::vector<int>& shape) {
  std::size_t n = 1;
  for (const int d : shape) n *= static_cast<std::size_t>(d);
  return n;
}

// Writes the manifest and weights the way the published package does:
// uint8 quantised tensors, except conv8/bias as plain float32, the bytes
// split over two shard files. Returns the weight bytes.
std::string writeSmallModel(const fs::path& dir,
                            std::vector<TensorEntry> layout = smallArchitecture(),
                            std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<float> plain(-0.5f, 0.5f);
  nlohmann::json weights = nlohmann::json::array();
  std::string bin;
  for (const TensorEntry& tensor : layout) {
    nlohmann::json entry = {{"name", tensor.name}, {"shape", tensor.shape}, {"dtype", "float32"}};
    if (tensor.name == "conv8/bias") {
      for (std::size_t i = 0; i < elements(tensor.shape); ++i) {
        const float value = plain(rng);
        bin.append(reinterpret_cast<const char*>(&value), 4);
      }
    } else {
      // Pointwise filters spread wider so activations neither vanish nor saturate.
      const bool pointwise = tensor.name.find("pointwise") != std::string::npos;
      entry["quantization"] = {{"dtype", "uint8"},
                               {"scale", pointwise ? 0.006 : 0.004},
                               {"min", pointwise ? -0.75 : -0.5}};
      for (std::size_t i = 0; i < elements(tensor.shape); ++i) bin += static_cast<char>(byte(rng));
    }
    weights.push_back(entry);
  }
  const std::size_t half = bin.size() / 2;
  const nlohmann::json manifest = nlohmann::json::array(
      {{{"weights", weights}, {"paths", {"tiny_face_detector_model.bin", "shard2.bin"}}}});
  fs::create_directories(dir);
  writeFile(dir / "tiny_face_detector_model-weights_manifest.json", manifest.dump(2));
  writeFile(dir / "tiny_face_detector_model.bin", bin.substr(0, half));
  writeFile(dir / "shard2.bin", bin.substr(half));
  return bin;
}

// --- the network computed directly, TensorFlow style ---------------------

struct Planes {
  int channels = 0, height = 0, width = 0;
  std::vector<float> v;  // [channel][row][column]
  float& at(int c, int y, int x) {
    return v[(static_cast<std::size_t>(c) * height + y) * width + x];
  }
};

Planes planes(int c, int h, int w) {
  return {c, h, w, std::vector<float>(static_cast<std::size_t>(c * h * w))};
}

float leaky(float x) { return x < 0 ? 0.1f * x : x; }

// Filters [kh][kw][in][out]; "valid" (pad 0) or "same" for a 3×3 at stride 1 (pad 1).
Planes convolve(Planes& in, const FaceTensor& filters, const FaceTensor* bias, int pad) {
  const int kh = filters.shape[0], kw = filters.shape[1], ci = filters.shape[2],
            co = filters.shape[3];
  Planes out = planes(co, in.height + 2 * pad - kh + 1, in.width + 2 * pad - kw + 1);
  for (int o = 0; o < co; ++o)
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        double sum = bias ? bias->values[static_cast<std::size_t>(o)] : 0.0;
        for (int dy = 0; dy < kh; ++dy)
          for (int dx = 0; dx < kw; ++dx) {
            const int sy = y + dy - pad, sx = x + dx - pad;
            if (sy < 0 || sx < 0 || sy >= in.height || sx >= in.width) continue;
            for (int i = 0; i < ci; ++i) {
              sum += double{in.at(i, sy, sx)} *
                     filters.values[((static_cast<std::size_t>(dy) * kw + dx) * ci + i) * co + o];
            }
          }
        out.at(o, y, x) = static_cast<float>(sum);
      }
  return out;
}

// Depthwise filters [3][3][channel][1], "same" padding.
Planes depthwise(Planes& in, const FaceTensor& filters) {
  Planes out = planes(in.channels, in.height, in.width);
  for (int c = 0; c < in.channels; ++c)
    for (int y = 0; y < in.height; ++y)
      for (int x = 0; x < in.width; ++x) {
        double sum = 0;
        for (int dy = 0; dy < 3; ++dy)
          for (int dx = 0; dx < 3; ++dx) {
            const int sy = y + dy - 1, sx = x + dx - 1;
            if (sy < 0 || sx < 0 || sy >= in.height || sx >= in.width) continue;
            sum += double{in.at(c, sy, sx)} *
                   filters.values[(static_cast<std::size_t>(dy) * 3 + dx) * in.channels + c];
          }
        out.at(c, y, x) = static_cast<float>(sum);
      }
  return out;
}

// 2×2 max pooling with TensorFlow's "same" padding: ceil(size / stride)
// outputs, the padding split with the smaller half first.
Planes maxpool(Planes& in, int stride) {
  const auto outSize = [&](int n) { return (n + stride - 1) / stride; };
  const auto padBefore = [&](int n) { return std::max((outSize(n) - 1) * stride + 2 - n, 0) / 2; };
  Planes out = planes(in.channels, outSize(in.height), outSize(in.width));
  for (int c = 0; c < in.channels; ++c)
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        float best = -INFINITY;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) {
            const int sy = y * stride + dy - padBefore(in.height);
            const int sx = x * stride + dx - padBefore(in.width);
            if (sy < 0 || sx < 0 || sy >= in.height || sx >= in.width) continue;
            best = std::max(best, in.at(c, sy, sx));
          }
        out.at(c, y, x) = best;
      }
  return out;
}

Planes reference(const FaceModel& model, Planes input) {
  std::map<std::string, const FaceTensor*> t;
  for (const FaceTensor& tensor : model.tensors) t[tensor.name] = &tensor;
  const auto activate = [](Planes p) {
    for (float& x : p.v) x = leaky(x);
    return p;
  };
  Planes x = activate(convolve(input, *t["conv0/filters"], t["conv0/bias"], 0));
  x = maxpool(x, 2);
  for (int block = 1; block <= 5; ++block) {
    const std::string p = "conv" + std::to_string(block) + "/";
    x = depthwise(x, *t[p + "depthwise_filter"]);
    x = activate(convolve(x, *t[p + "pointwise_filter"], t[p + "bias"], 0));
    x = maxpool(x, block == 5 ? 1 : 2);
  }
  return convolve(x, *t["conv8/filters"], t["conv8/bias"], 0);
}

// Compares OpenCV's run with the direct computation on a random input.
void expectNetworkMatchesReference(const FaceModel& model, int side) {
  SCOPED_TRACE("input " + std::to_string(side));
  std::mt19937 rng(static_cast<std::uint32_t>(side));
  std::uniform_real_distribution<float> pixel(-0.45f, 0.6f);  // (0…255 − mean) / 255
  Planes input = planes(3, side, side);
  for (float& v : input.v) v = pixel(rng);

  const face::GridOutput actual = face::runNetwork(model, input.v, side);
  const Planes expected = reference(model, input);
  ASSERT_EQ(actual.grid, expected.height);
  ASSERT_EQ(expected.width, expected.height);
  ASSERT_EQ(actual.values.size(), expected.v.size());
  double spread = 0;
  for (std::size_t i = 0; i < expected.v.size(); ++i) {
    spread = std::max(spread, std::fabs(double{expected.v[i]}));
    EXPECT_NEAR(actual.values[i], expected.v[i], 1e-3 * (1 + std::fabs(expected.v[i])))
        << "at " << i;
  }
  EXPECT_GT(spread, 0.1) << "outputs too flat to show a layout error";
}

// --- tests ----------------------------------------------------------------

TEST(FaceModelTest, ReadsTheManifestInOrderAndDequantises) {
  TempDir dir;
  const std::string bin = writeSmallModel(dir.path());
  const auto model = FaceModelLoader::load(dir.path());
  const auto layout = smallArchitecture();
  ASSERT_EQ(model->tensors.size(), layout.size());
  // conv3/bias lies after every tensor before it in the manifest.
  std::size_t offset = 0;
  std::size_t index = 0;
  while (layout[index].name != "conv3/bias") offset += elements(layout[index++].shape);
  const FaceTensor& bias = model->tensors[index];
  EXPECT_EQ(bias.name, "conv3/bias");
  EXPECT_EQ(bias.shape, std::vector<int>{8});
  EXPECT_FLOAT_EQ(bias.values[7],
                  static_cast<float>(static_cast<unsigned char>(bin[offset + 7]) * 0.004 - 0.5));
  // conv8/bias is stored as plain float32, last in the file.
  float last = 0;
  std::memcpy(&last, bin.data() + bin.size() - 4, 4);
  EXPECT_EQ(model->tensors.back().values.back(), last);
}

TEST(FaceModelTest, OpenCVNetworkMatchesTheDirectComputation) {
  TempDir dir;
  writeSmallModel(dir.path());
  const auto model = FaceModelLoader::load(dir.path());
  // 40: odd sizes on the way (19 → 10, 5 → 3) and the stride-1 pool at 2 × 2.
  expectNetworkMatchesReference(*model, 40);
  expectNetworkMatchesReference(*model, 64);
}

TEST(FaceModelTest, PublishedModelMatchesTheDirectComputation) {
  KESTREL_REQUIRE_TEST_MODELS(models);
  const auto model = FaceModelLoader::load(models / "face-api");
  ASSERT_EQ(model->tensors.size(), 19u);
  EXPECT_EQ(model->tensors.front().name, "conv0/filters");
  expectNetworkMatchesReference(*model, 40);
  expectNetworkMatchesReference(*model, 96);
}

TEST(FaceModelTest, BadModelFilesFailClearly) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    std::string message;
  } cases[] = {
      {"weights shorter than the manifest",
       [](const fs::path& d) { fs::resize_file(d / "shard2.bin", 10); }, "短"},
      {"missing shard", [](const fs::path& d) { fs::remove(d / "shard2.bin"); },
       "shard2.bin: No such file or directory"},
      {"manifest not JSON",
       [](const fs::path& d) {
         writeFile(d / "tiny_face_detector_model-weights_manifest.json", "[{");
       },
       "清单无法解析"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    writeSmallModel(dir.path());
    row.spoil(dir.path());
    try {
      FaceModelLoader::load(dir.path());
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos) << error.what();
    }
  }
}

TEST(FaceModelTest, TensorsMustFitTheArchitecture) {
  const struct {
    const char* name;
    std::function<void(std::vector<TensorEntry>&)> change;
    std::string message;
  } cases[] = {
      {"missing tensor", [](auto& s) { s[10].name = "conv3/offset"; }, "缺少张量 conv3/bias"},
      {"transposed depthwise filter",
       [](auto& s) {
         s[2].shape = {3, 3, 1, 4};
       },
       "conv1/depthwise_filter 形状不符"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    auto layout = smallArchitecture();
    row.change(layout);
    TempDir dir;
    writeSmallModel(dir.path(), layout);
    try {
      FaceModelLoader::load(dir.path());
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos) << error.what();
    }
  }
}

TEST(FaceModelLocateTest, SearchesForAFolderHoldingBothFiles) {
  const auto put = [](const fs::path& dir, bool withWeights) {
    fs::create_directories(dir);
    writeFile(dir / "tiny_face_detector_model-weights_manifest.json", "[]");
    if (withWeights) writeFile(dir / "tiny_face_detector_model.bin", "");
  };
  TempDir root;
  const ModelSearchPlaces places{root / "resources", root / "cwd", root / "app/a/b/c/kestrel"};
  try {
    FaceModelLoader::locate(std::nullopt, places);
    ADD_FAILURE() << "found";
  } catch (const CropError& error) {
    EXPECT_STREQ(
        error.what(),
        "未找到人脸检测模型。请先运行 scripts/setup.sh，或通过 --face-model 指定模型目录。");
  }
  put(root / "app/a/Models/face-api", true);
  EXPECT_EQ(FaceModelLoader::locate(std::nullopt, places), root / "app/a/Models/face-api");
  put(root / "cwd/Models/face-api", false);  // incomplete: passed over
  EXPECT_EQ(FaceModelLoader::locate(std::nullopt, places), root / "app/a/Models/face-api");
  put(root / "cwd/Models/face-api", true);
  EXPECT_EQ(FaceModelLoader::locate(std::nullopt, places), root / "cwd/Models/face-api");
  put(root / "resources/face-api", true);
  EXPECT_EQ(FaceModelLoader::locate(std::nullopt, places), root / "resources/face-api");
  EXPECT_EQ(FaceModelLoader::locate(root / "elsewhere", places), root / "elsewhere");
}

// Whatever the network finds, only faces centred in the search rectangle
// come back, cut to it, best first. The small model's random weights
// report "faces" all over, which is what this needs.
TEST(FaceDetectorTest, ReportsOnlyFacesInsideTheSearchRectangle) {
  TempDir dir;
  writeSmallModel(dir.path());
  FaceDetector detector(FaceModelLoader::load(dir.path()));
  std::mt19937 rng(5);
  RGBImage image{300, 200, std::vector<std::uint8_t>(300 * 200 * 3)};
  for (auto& p : image.pixels) p = static_cast<std::uint8_t>(rng());

  std::uniform_real_distribution<double> unit(0, 1);
  std::size_t reported = 0;
  for (int i = 0; i < 40; ++i) {
    const Box region{unit(rng) * 0.8, unit(rng) * 0.8, 0.05 + unit(rng) * 0.4,
                     0.05 + unit(rng) * 0.4};
    const Box inside = region.clipped();
    const auto faces = detector.detect(image, region);
    reported += faces.size();
    for (std::size_t f = 0; f < faces.size(); ++f) {
      EXPECT_TRUE(inside.contains(faces[f].box, 1e-12));
      EXPECT_GT(faces[f].box.width, 0);
      EXPECT_GE(faces[f].confidence, 0.3f);
      if (f > 0) {
        EXPECT_GE(faces[f - 1].confidence, faces[f].confidence);
      }
    }
  }
  EXPECT_GT(reported, 0u);
  EXPECT_TRUE(detector.detect(image, {1.1, 0.2, 0.3, 0.3}).empty());  // outside the image
  EXPECT_TRUE(detector.detect(image, {0.2, 0.2, 0.3, 0}).empty());    // no height
}

}  // namespace
}  // namespace kestrel
