// SPDX-License-Identifier: MIT
// The face model: reading the published manifest and weights, and the network
// OpenCV runs checked against a direct computation in TensorFlow's layout and
// padding rules, which is what proves the conversion to darknet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "core/detection/detail/face_network.h"
#include "core/detection/face_detector.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

// A model of the published architecture with channels 4 → 6 → 6 → 8 → 8 → 8
// instead of 16 … 512, stored as the published one: uint8 quantised tensors,
// conv8/bias plain float32, the bytes split over two shards. Returns the bytes.
std::string writeSmallModel(const fs::path& dir) {
  std::mt19937 rng(1);
  nlohmann::json weights = nlohmann::json::array();
  std::string bin;
  const auto add = [&](const std::string& name, std::vector<int> shape) {
    int count = 1;
    for (const int d : shape) count *= d;
    weights.push_back({{"name", name}, {"shape", shape}, {"dtype", "float32"}});
    for (int i = 0; i < count && name == "conv8/bias"; ++i) {
      const float value = std::uniform_real_distribution<float>(-0.5f, 0.5f)(rng);
      bin.append(reinterpret_cast<const char*>(&value), 4);
    }
    if (name == "conv8/bias") return;
    // Pointwise filters spread wider so activations neither vanish nor saturate.
    const bool wide = name.find("pointwise") != std::string::npos;
    weights.back()["quantization"] = {
        {"dtype", "uint8"}, {"scale", wide ? 0.006 : 0.004}, {"min", wide ? -0.75 : -0.5}};
    for (int i = 0; i < count; ++i) bin += static_cast<char>(rng());
  };
  add("conv0/filters", {3, 3, 3, 4});
  add("conv0/bias", {4});
  const int channels[] = {4, 6, 6, 8, 8, 8};
  for (int block = 1; block <= 5; ++block) {
    const std::string p = "conv" + std::to_string(block) + "/";
    add(p + "depthwise_filter", {3, 3, channels[block - 1], 1});
    add(p + "pointwise_filter", {1, 1, channels[block - 1], channels[block]});
    add(p + "bias", {channels[block]});
  }
  add("conv8/filters", {1, 1, 8, 25});
  add("conv8/bias", {25});
  fs::create_directories(dir);
  const nlohmann::json paths = {"tiny_face_detector_model.bin", "shard2.bin"};
  writeFile(dir / "tiny_face_detector_model-weights_manifest.json",
            nlohmann::json::array({{{"weights", weights}, {"paths", paths}}}).dump());
  writeFile(dir / "tiny_face_detector_model.bin", bin.substr(0, bin.size() / 2));
  writeFile(dir / "shard2.bin", bin.substr(bin.size() / 2));
  return bin;
}

// Planes [channel][row][column] for the network computed directly, TensorFlow style.
struct Planes {
  int channels = 0, height = 0, width = 0;
  std::vector<float> v = std::vector<float>(static_cast<std::size_t>(channels * height * width));
  float& at(int c, int y, int x) {
    return v[(static_cast<std::size_t>(c) * height + y) * width + x];
  }
};

// With a bias: filters [k][k][in][out], "valid" padding. Without: depthwise
// [3][3][channel][1] (a filter per channel), "same" padding. Then leaky 0.1 or none.
Planes convolve(Planes& in, const FaceTensor& f, const FaceTensor* bias, bool leaky) {
  const bool depthwise = bias == nullptr;
  const int k = f.shape[0], ci = f.shape[2], co = depthwise ? ci : f.shape[3], pad = depthwise;
  Planes out{co, in.height + 2 * pad - k + 1, in.width + 2 * pad - k + 1};
  for (int o = 0; o < co; ++o)
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        double sum = depthwise ? 0.0 : bias->values[static_cast<std::size_t>(o)];
        for (int dy = 0; dy < k; ++dy)
          for (int dx = 0; dx < k; ++dx)
            for (int i = depthwise ? o : 0; i < (depthwise ? o + 1 : ci); ++i) {
              const int sy = y + dy - pad, sx = x + dx - pad;
              if (sy < 0 || sx < 0 || sy >= in.height || sx >= in.width) continue;
              const std::size_t at = (static_cast<std::size_t>(dy) * k + dx) * ci + i;
              sum += double{in.at(i, sy, sx)} * f.values[depthwise ? at : at * co + o];
            }
        const auto value = static_cast<float>(sum);
        out.at(o, y, x) = leaky && value < 0 ? 0.1f * value : value;
      }
  return out;
}

// 2×2 max pooling with TensorFlow's "same" padding: ceil(size / stride)
// outputs; for a 2×2 window the padding, one row or column at most, comes after.
Planes maxpool(Planes& in, int stride) {
  Planes out{in.channels, (in.height + stride - 1) / stride, (in.width + stride - 1) / stride};
  for (int c = 0; c < in.channels; ++c)
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        float& best = out.at(c, y, x) = -INFINITY;
        for (int sy = y * stride; sy < std::min(y * stride + 2, in.height); ++sy)
          for (int sx = x * stride; sx < std::min(x * stride + 2, in.width); ++sx)
            best = std::max(best, in.at(c, sy, sx));
      }
  return out;
}

// Compares OpenCV's run with the direct computation on a random 40 × 40
// input: odd sizes on the way (19 → 10, 5 → 3) and the stride-1 pool at 2 × 2.
void expectNetworkMatchesReference(const FaceModel& model) {
  std::map<std::string, const FaceTensor*> t;
  for (const FaceTensor& tensor : model.tensors) t[tensor.name] = &tensor;
  std::mt19937 rng(40);
  std::uniform_real_distribution<float> pixel(-0.45f, 0.6f);  // (0…255 − mean) / 255
  Planes x{3, 40, 40};
  for (float& v : x.v) v = pixel(rng);
  const face::GridOutput actual = face::runNetwork(model, x.v, 40);
  x = convolve(x, *t["conv0/filters"], t["conv0/bias"], true);
  x = maxpool(x, 2);
  for (int block = 1; block <= 5; ++block) {
    const std::string p = "conv" + std::to_string(block) + "/";
    x = convolve(x, *t[p + "depthwise_filter"], nullptr, false);
    x = convolve(x, *t[p + "pointwise_filter"], t[p + "bias"], true);
    x = maxpool(x, block == 5 ? 1 : 2);
  }
  const Planes expected = convolve(x, *t["conv8/filters"], t["conv8/bias"], false);
  ASSERT_EQ(actual.values.size(), expected.v.size());
  double spread = 0;
  for (std::size_t i = 0; i < expected.v.size(); ++i) {
    spread = std::max(spread, std::fabs(double{expected.v[i]}));
    EXPECT_NEAR(actual.values[i], expected.v[i], 1e-3 * (1 + std::fabs(expected.v[i]))) << i;
  }
  EXPECT_GT(spread, 0.1) << "outputs too flat to show a layout error";
}

TEST(FaceModelTest, ReadsTheManifestAndRunsAsTheDirectComputation) {
  TempDir dir;
  const std::string bin = writeSmallModel(dir.path());
  const auto model = FaceModelLoader::load(dir.path());
  ASSERT_EQ(model->tensors.size(), 19u);
  // conv3/bias follows 376 bytes (conv0 108 + 4, conv1 36 + 24 + 6, conv2
  // 54 + 36 + 6, conv3 54 + 48); its values are byte × 0.004 − 0.5.
  const FaceTensor& bias = model->tensors[10];
  EXPECT_EQ(bias.name, "conv3/bias");
  EXPECT_EQ(bias.shape, std::vector<int>{8});
  EXPECT_FLOAT_EQ(bias.values[7],
                  static_cast<float>(static_cast<unsigned char>(bin[376 + 7]) * 0.004 - 0.5));
  float last = 0;  // conv8/bias, last in the file, is plain float32
  std::memcpy(&last, bin.data() + bin.size() - 4, 4);
  EXPECT_EQ(model->tensors.back().values.back(), last);
  expectNetworkMatchesReference(*model);
  if (const auto models = testing::testModelsDir()) {  // the published model too
    expectNetworkMatchesReference(*FaceModelLoader::load(*models / "face-api"));
  }
}

TEST(FaceModelTest, BadModelFilesFailClearly) {
  const fs::path manifest = "tiny_face_detector_model-weights_manifest.json";
  const std::pair<std::function<void(const fs::path&)>, std::string> cases[] = {
      {[](auto& d) { fs::resize_file(d / "shard2.bin", 10); }, "权重文件比清单所列的短"},
      {[&](auto& d) {
         std::string text = testing::readFile(d / manifest);
         writeFile(d / manifest, text.replace(text.find("[3,3,4,1]"), 9, "[3,3,1,4]"));
       },
       "conv1/depthwise_filter 形状不符"},
  };
  for (const auto& [spoil, message] : cases) {
    TempDir dir;
    writeSmallModel(dir.path());
    spoil(dir.path());
    EXPECT_THAT([&] { FaceModelLoader::load(dir.path()); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(message)));
  }
}

}  // namespace
}  // namespace kestrel
