// SPDX-License-Identifier: MIT
// The detection models on small files written on the fly: the person rules, decoding, finding,
// loading and preparing the person model; reading the face model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <sstream>
#include <tuple>

#include "core/base/crop_error.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/detail/yolo_decode.h"
#include "core/detection/face_detector.h"
#include "tests/detection/detection_fixtures.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::readFile;
using testing::TempDir;
using ::testing::ThrowsMessage;
using testing::writeFile;
using O = ObjectObservation;

constexpr Box kBox{0.125, 0.25, 0.25, 0.25};
const std::string kNotADetector(messages::notObjectDetection);

TEST(PersonsFromObservationsTest, AppliesTheLabelScoreAndBoxRules) {
  const std::tuple<const char*, std::vector<Observation>, std::vector<Person>> cases[] = {
      // clang-format off
      {"first person label decides, in any case", {O{kBox, 0.9f, {{"bicycle", 0.9f}, {"Person", 0.5f}}}}, {{kBox, 0.5}}},
      {"a later person label is not looked at", {O{kBox, 0.9f, {{"person", 0.1f}, {"PERSON", 0.9f}}}}, {}},
      {"label score 0.19 dropped", {O{kBox, 0.95f, {{"person", 0.19f}}}}, {}},
      {"label score exactly 0.2 (as float) kept", {O{kBox, 0.95f, {{"person", 0.2f}}}}, {{kBox, double{0.2f}}}},
      {"confidence is the smaller score", {O{kBox, 0.3f, {{"person", 0.8f}}}}, {{kBox, double{0.3f}}}},
      {"no person label", {O{kBox, 0.9f, {{"dog", 0.9f}}}}, {}},
      {"box clipped to the image", {O{{-0.25, 0.5, 0.5, 0.75}, 0.9f, {{"person", 0.9f}}}}, {{{0, 0.5, 0.25, 0.5}, double{0.9f}}}},
      {"box without height dropped", {O{{0.2, 0.2, 0.1, 0}, 0.9f, {{"person", 0.9f}}}}, {}},
      // clang-format on
  };
  for (const auto& [name, observations, expected] : cases)
    EXPECT_EQ(personsFromObservations(observations), expected) << name;
  // Absent results or any classification among them: the model is no detector.
  const std::vector<Observation> mixed = {O{kBox, 0.9f, {{"person", 0.9f}}},
                                          ClassificationObservation{"runner", 0.8f}};
  for (const auto& results : {std::optional<std::vector<Observation>>(), std::optional(mixed)})
    EXPECT_THAT([&] { personsFromObservations(results); }, ThrowsMessage<CropError>(kNotADetector));
}

// Rows [cx, cy, w, h, objectness, person, dog] relative to the network input become observations
// "confidence label score … @ x y w h" (box to 4 places) of the image centred in that input.
TEST(YoloDecodeTest, MapsBoxesBackThroughTheLetterboxAndSuppressesOverlapsPerClass) {
  // clang-format off
  const std::tuple<int, int, std::vector<std::array<float, 7>>, std::vector<std::string>> cases[] = {
      // 416 × 208 of the 416 × 288 input, 40 rows down: input x 156…260, y 72…216.
      {1000, 500, {{0.5f, 0.5f, 0.25f, 0.5f, 0.9f, 0.9f, 0}}, {"0.9 person 0.9 @ 0.375 0.1538 0.25 0.6923"}},
      // 208 × 416 of the 288 × 416 input, 40 columns in.
      {500, 1000, {{0.5f, 0.5f, 0.5f, 0.25f, 0.9f, 0.9f, 0}}, {"0.9 person 0.9 @ 0.1538 0.375 0.6923 0.25"}},
      // Rows 0 and 1 overlap (IoU 0.8): row 1 wins person, row 0 dog; row 3 scores nothing.
      {416, 416, {{0.50f, 0.50f, 0.20f, 0.40f, 0.9f, 0.60f, 0.70f},
                  {0.51f, 0.50f, 0.20f, 0.40f, 0.9f, 0.80f, 0.30f},
                  {0.10f, 0.10f, 0.10f, 0.10f, 0.9f, 0.00f, 0.50f},
                  {0.90f, 0.90f, 0.10f, 0.10f, 0.1f, 0.00f, 0.00f}},
       {"0.8 person 0.8 @ 0.41 0.3 0.2 0.4", "0.7 dog 0.7 @ 0.4 0.3 0.2 0.4", "0.5 dog 0.5 @ 0.05 0.05 0.1 0.1"}},
      // A row alone keeps both classes, best first.
      {416, 416, {{0.5f, 0.5f, 0.2f, 0.4f, 0.9f, 0.3f, 0.6f}}, {"0.6 dog 0.6 person 0.3 @ 0.4 0.3 0.2 0.4"}},
  };
  // clang-format on
  const std::vector<std::string> labels = {"person", "dog"};
  for (const auto& [width, height, rows, expected] : cases) {
    const yolo::RegionRows layer{rows.front().data(), static_cast<int>(rows.size()), 7};
    std::vector<std::string> found;
    for (const O& o :
         yolo::observations(std::span(&layer, 1), yolo::letterboxFor(width, height, 416), labels)) {
      std::ostringstream t;
      t << o.confidence;
      for (const auto& label : o.labels) t << ' ' << label.identifier << ' ' << label.confidence;
      const Box& b = o.boundingBox;
      t << std::setprecision(4) << " @ " << b.x << ' ' << b.y << ' ' << b.width << ' ' << b.height;
      found.push_back(t.str());
    }
    EXPECT_EQ(found, expected);
  }
  const yolo::RegionRows narrow{std::get<2>(cases[0]).front().data(), 1, 6};  // a column short
  EXPECT_THROW(yolo::observations(std::span(&narrow, 1), {}, labels), std::runtime_error);
}

// The input's long side is the network's own (on the 32-pixel grid), its short side the smallest
// multiple of 32 that holds a 3:2 photo; from aspect 1/1.2 to 1.2 it is square.
TEST(YoloDecodeTest, LetterboxFollowsTheNetworksDeclaredSize) {
  using L = yolo::Letterbox;  // input width, height, left, top, scaled width, height
  EXPECT_EQ(yolo::letterboxFor(1024, 683, 320), (L{320, 224, 0, 5, 320, 213}));
  EXPECT_EQ(yolo::letterboxFor(683, 1024, 320), (L{224, 320, 5, 0, 213, 320}));
  EXPECT_EQ(yolo::letterboxFor(1024, 836, 416), (L{416, 288, 31, 0, 353, 288}));  // 1.22:1
  EXPECT_EQ(yolo::letterboxFor(1024, 860, 416), (L{416, 416, 0, 33, 416, 349}));  // 1.19:1
  EXPECT_EQ(yolo::letterboxFor(1024, 683, 300).inputWidth, 320);
}

constexpr std::string_view kTinyCfg = testing::kTinyYoloCfg, kTinyLabels = "person\nbicycle\n";
const std::string kClassifierCfg = testing::kTinyClassifierCfg;
const std::string kTinyWeights = testing::darknetWeights(124 + 35);

// A darknet pair with coco.names, or with `stem` "model" a prepared directory's files.
void writeModel(const fs::path& dir, const std::string& stem, std::string_view cfg = kTinyCfg) {
  fs::create_directories(dir);
  writeFile(dir / (stem + ".cfg"), cfg);
  writeFile(dir / (stem + ".weights"), kTinyWeights);
  writeFile(dir / (stem == "model" ? "labels.txt" : "coco.names"), kTinyLabels);
}

// A package as `tar -cf` writes it: folders, weights over two blocks, an empty file.
std::string tinyPackage() {
  TempDir dir;
  writeModel(dir.path(), "model");
  fs::create_directory(dir / "pkg");
  fs::rename(dir / "model.weights", dir / "pkg/model.weights");
  writeFile(dir / "empty", "");
  const std::string tar = "tar -cf " + (dir / "p.tar").string() + " -C " + dir.path().string() +
                          " ./model.cfg pkg/model.weights empty ./labels.txt";
  EXPECT_EQ(std::system(tar.c_str()), 0);
  return readFile(dir / "p.tar");
}

TEST(ModelLocateTest, BothModelsSearchTheSameFoldersInOrder) {
  TempDir root;  // the executable's prefix is app/a/b, its path three levels up app/a
  const ModelSearchPlaces places{root / "resources", root / "cwd", root / "app/a/b/c/kestrel"};
  EXPECT_EQ(searchFolders(places),
            (std::vector<fs::path>{root / "app/a/b/share/kestrel", root / "resources",
                                   root / "cwd/Models", root / "app/a/Models"}));
  // The configured directory is searched once when the executable is installed there.
  EXPECT_EQ(searchFolders({root / "p/share/kestrel", {}, root / "p/bin/kestrel"}),
            (std::vector<fs::path>{root / "p/share/kestrel", root / "Models"}));
  EXPECT_THAT([&] { ModelLoader::locate(std::nullopt, places); },
              ThrowsMessage<CropError>(std::string(messages::modelNotFound)));
  EXPECT_THAT([&] { FaceModelLoader::locate(std::nullopt, places); },
              ThrowsMessage<CropError>(std::string(messages::faceModelNotFound)));
  const std::string P = "/YOLOv3TinyFP16.mlmodelc", S = "/YOLOv3TinyFP16.mlmodel",
                    face = "/face-api/tiny_face_detector_model";
  for (const std::string& file :
       {"resources" + face + "-weights_manifest.json", "app/a/Models" + face + ".bin",
        "app/a/Models" + face + "-weights_manifest.json", "cwd/Models" + S, "app/a/Models" + P}) {
    fs::create_directories((root / file).parent_path());
    writeFile(root / file, "x");
  }
  fs::create_symlink(root / "gone", root / ("resources" + P));  // a link to nothing is no model
  // A face folder needs both files; an earlier folder beats a prepared model in a later one.
  EXPECT_EQ(FaceModelLoader::locate(std::nullopt, places), root / "app/a/Models/face-api");
  EXPECT_EQ(ModelLoader::locate(std::nullopt, places), root / ("cwd/Models" + S));
  writeFile(root / ("cwd/Models" + P), "x");  // in one folder the prepared model comes first
  EXPECT_EQ(ModelLoader::locate(std::nullopt, places), root / ("cwd/Models" + P));
  EXPECT_EQ(ModelLoader::locate(root / "none.cfg", places), root / "none.cfg");  // unchecked
}

// Preparing writes a directory whole or not at all, never over one that exists.
TEST(ModelLoadTest, LoadsEveryModelFormAndPreparesOneOnce) {
  TempDir dir;
  writeModel(dir / "pair", "tiny");
  writeModel(dir / "folder", "published-name");
  writeModel(dir.path(), "classifier", kClassifierCfg);
  writeFile(dir / "Package.mlmodel", tinyPackage());
  // Only the exact lower-case extension marks a prepared directory: this is a package.
  writeFile(dir / "Package.MLMODELC", tinyPackage());
  ModelLoader::compile(dir / "Package.mlmodel", dir / "Models/Prepared.mlmodelc");
  ModelLoader::compile(dir / "missing.mlmodel", dir / "Models/Prepared.mlmodelc");  // not read
  EXPECT_EQ(readFile(dir / "Models/Prepared.mlmodelc/model.cfg"), kTinyCfg);
  EXPECT_THAT([&] { ModelLoader::compile(dir / "classifier.cfg", dir / "Models/x.mlmodelc"); },
              ThrowsMessage<CropError>(kNotADetector));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Models"), {}), 1);  // nothing beside it
  for (const fs::path& url : {dir / "Models/Prepared.mlmodelc", dir / "pair/tiny.cfg",
                              dir / "folder", dir / "Package.mlmodel", dir / "Package.MLMODELC"}) {
    SCOPED_TRACE(url.string());
    const auto model = ModelLoader::load(url, ComputeChoice::cpu);
    EXPECT_EQ(model->labels, (std::vector<std::string>{"person", "bicycle"}));
    EXPECT_EQ(model->weights, kTinyWeights);
    // The layer's cut-off sits below the person rule's 0.2, its own suppression off.
    EXPECT_THAT(model->configuration, HasSubstr("ignore_thresh=.7\nthresh=0.1\nnms_threshold=0\n"));
    EXPECT_EQ(model->inputSide, 32);  // the [net] section's size
  }
}

TEST(ModelLoadTest, BadModelsFailClearly) {
  const std::string pkg = tinyPackage();
  // The first entry's header claiming 8 GiB, with its checksum made good again.
  std::string huge = pkg;
  std::memcpy(huge.data() + 124, "77777777777", 12);
  std::memset(huge.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (int i = 0; i < 512; ++i) sum += static_cast<unsigned char>(huge[i]);
  std::snprintf(huge.data() + 148, 8, "%06o", sum);
  std::string sparkly(kTinyCfg);
  // A file written into a good prepared model, a part of the message, what is loaded.
  const std::array<std::string, 4> cases[] = {
      // clang-format off
      {"model.weights", kTinyWeights.substr(0, 600), "文件不完整", "model.cfg"},
      {"model.weights", std::string("\0\0\0\x80", 4) + kTinyWeights.substr(4), "网络需要 652 字节", "model.cfg"},  // version INT32_MIN: 4 too many
      {"labels.txt", "person\n", "类别", "model.cfg"},
      {"model.cfg", sparkly.replace(sparkly.find("=leaky"), 6, "=sparkly"), "sparkly", "model.cfg"},  // OpenCV refuses it
      // Damaged packages are refused, never read out of bounds.
      {"P.mlmodel", std::string(pkg).replace(3, 1, "M"), "tar 文件", "P.mlmodel"},  // header checksum
      {"P.mlmodel", pkg.substr(0, 3 * 512 + 300), "tar 文件", "P.mlmodel"},  // weights cut short
      {"P.mlmodel", std::string(2048, 'x'), "tar 文件", "P.mlmodel"},
      {"P.mlmodel", huge, "超出文件末尾", "P.mlmodel"},  // never allocated
      {"model.cfg", kClassifierCfg, kNotADetector, "model.cfg"},
      // clang-format on
  };
  for (const auto& [file, content, message, url] : cases) {
    TempDir dir;
    writeModel(dir.path(), "model");
    writeFile(dir / file, content);
    EXPECT_THAT([&] { ModelLoader::load(dir / url, ComputeChoice::cpu); },
                ThrowsMessage<std::runtime_error>(HasSubstr(message)));
  }
}

TEST(DarknetConfigTest, CountsTheWeightsEachLayerNeeds) {
  const auto cfg = [](std::string words) {  // each space starts a new line
    std::replace(words.begin(), words.end(), ' ', '\n');
    return darknet::summarize(words).parameterCount;
  };
  // conv 3→8, batch norm (8·4 + 8·3·9); depthwise (8 + 8·9); two routes give 8 + 8, then
  // half of that; 1×1 to 2 (2 + 2·8); upsampled to 2 × 32 × 32; connected to 3 (3 + 2048·3).
  EXPECT_EQ(cfg("[net] width=32 height=32 channels=3 [convolutional] filters=8 size=3 stride=2 "
                "pad=1 batch_normalize=1 [maxpool] size=2 stride=1 [convolutional] filters=8 "
                "groups=8 size=3 pad=1 [route] layers=-1,-3 [route] layers=-1 groups=2 "
                "group_id=1 [convolutional] filters=2 size=1 [shortcut] from=-1 [upsample] "
                "stride=2 [connected] output=3"),
            248u + 80 + 18 + 6147);
  for (const char* bad : {"[convolutional] filters=1 size=1", "[net] [lstm] output=4",
                          "[net] [route] layers=3", "[net] [yolo] classes=2 [yolo] classes=3"})
    EXPECT_THROW(cfg(bad), std::runtime_error) << bad;
}

// The published architecture with channels 4 → 6 → 6 → 8 → 8 → 8 instead of 16 … 512, stored as
// the published model is: uint8 quantised tensors, conv8/bias plain float32, over two shards.
// Returns the bytes.
std::string writeSmallModel(const fs::path& dir) {
  std::mt19937 rng(1);
  nlohmann::json weights = nlohmann::json::array();
  std::string bin;
  const auto add = [&](const std::string& name, std::vector<int> shape) {
    weights.push_back({{"name", name}, {"shape", shape}, {"dtype", "float32"}});
    const int count = std::accumulate(shape.begin(), shape.end(), 1, std::multiplies());
    for (int i = 0; i < count && name == "conv8/bias"; ++i) {
      const float value = std::uniform_real_distribution<float>(-0.5f, 0.5f)(rng);
      bin.append(reinterpret_cast<const char*>(&value), 4);
    }
    if (name == "conv8/bias") return;
    weights.back()["quantization"] = {{"dtype", "uint8"}, {"scale", 0.004}, {"min", -0.5}};
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
  const nlohmann::json paths = {"tiny_face_detector_model.bin", "shard2.bin"};
  writeFile(dir / "tiny_face_detector_model-weights_manifest.json",
            nlohmann::json::array({{{"weights", weights}, {"paths", paths}}}).dump());
  writeFile(dir / "tiny_face_detector_model.bin", bin.substr(0, bin.size() / 2));
  writeFile(dir / "shard2.bin", bin.substr(bin.size() / 2));
  return bin;
}

// The network it makes is checked on the shared photographs (detection_photos_test.cpp).
TEST(FaceModelTest, ReadsTheManifestsTensorsAndNothingPastThem) {
  TempDir dir;
  const std::string bin = writeSmallModel(dir.path());
  const auto model = FaceModelLoader::load(dir.path());
  ASSERT_EQ(model->tensors.size(), 19u);
  // conv3/bias follows 376 bytes (conv0 108 + 4, conv1 36 + 24 + 6, conv2
  // 54 + 36 + 6, conv3 54 + 48); its values are byte × 0.004 − 0.5.
  const FaceTensor& bias = model->tensors[10];
  EXPECT_EQ(bias.name, "conv3/bias");
  EXPECT_FLOAT_EQ(bias.values[7],
                  static_cast<float>(static_cast<unsigned char>(bin[376 + 7]) * 0.004 - 0.5));
  float last = 0;  // conv8/bias, last in the file, is plain float32
  std::memcpy(&last, bin.data() + bin.size() - 4, 4);
  EXPECT_EQ(model->tensors.back().values.back(), last);
  fs::resize_file(dir / "shard2.bin", 10);
  EXPECT_THAT([&] { FaceModelLoader::load(dir.path()); },
              ThrowsMessage<std::runtime_error>(HasSubstr("权重文件比清单所列的短")));
}

}  // namespace
}  // namespace kestrel
