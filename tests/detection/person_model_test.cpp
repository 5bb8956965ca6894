// SPDX-License-Identifier: MIT
// The person detection model: the person rules over its observations, the
// decoding of its output, and finding, loading and preparing it (tiny darknet
// models and tar packages written on the fly); finding the face model too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "core/base/crop_error.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/detail/yolo_decode.h"
#include "core/detection/face_detector.h"
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
constexpr Box kSmall{0.125, 0.125, 0.125, 0.125};
const std::string kNotADetector(messages::notObjectDetection);

TEST(PersonsFromObservationsTest, AppliesTheLabelScoreAndBoxRules) {
  const struct {
    const char* name;
    std::vector<Observation> observations;
    std::vector<Person> expected;
  } cases[] = {
      // clang-format off
      {"first person label decides, in any case", {O{kBox, 0.9f, {{"bicycle", 0.9f}, {"Person", 0.5f}}}}, {{kBox, 0.5}}},
      {"a later person label is not looked at", {O{kBox, 0.9f, {{"person", 0.1f}, {"PERSON", 0.9f}}}}, {}},
      {"label score 0.19 dropped", {O{kBox, 0.95f, {{"person", 0.19f}}}}, {}},
      {"label score exactly 0.2 (as float) kept", {O{kBox, 0.95f, {{"person", 0.2f}}}}, {{kBox, double{0.2f}}}},
      {"confidence is the smaller score", {O{kBox, 0.3f, {{"person", 0.8f}}}}, {{kBox, double{0.3f}}}},
      {"no person label", {O{kBox, 0.9f, {{"dog", 0.9f}}}}, {}},
      {"box clipped to the image", {O{{-0.25, 0.5, 0.5, 0.75}, 0.9f, {{"person", 0.9f}}}}, {{{0, 0.5, 0.25, 0.5}, double{0.9f}}}},
      {"box without height dropped", {O{{0.2, 0.2, 0.1, 0}, 0.9f, {{"person", 0.9f}}}}, {}},
      {"model's order kept", {O{kSmall, 0.4f, {{"person", 0.4f}}}, O{kBox, 0.9f, {{"person", 0.9f}}}}, {{kSmall, double{0.4f}}, {kBox, double{0.9f}}}},
      // clang-format on
  };
  for (const auto& row : cases) {
    EXPECT_EQ(personsFromObservations(row.observations), row.expected) << row.name;
  }
  // Absent results or any classification among them: the model is no detector.
  const std::vector<Observation> mixed = {O{kBox, 0.9f, {{"person", 0.9f}}},
                                          ClassificationObservation{"runner", 0.8f}};
  for (const auto& results : {std::optional<std::vector<Observation>>(), std::optional(mixed)}) {
    EXPECT_THAT([&] { personsFromObservations(results); }, ThrowsMessage<CropError>(kNotADetector));
  }
}

TEST(LetterboxTest, InputFollowsTheImageAspectAndKeepsItsRatio) {
  const struct {
    int width, height;
    yolo::Letterbox expected;
  } cases[] = {
      {1024, 683, {416, 288, 0, 5, 416, 277}},   // 3:2 landscape
      {683, 1024, {288, 416, 5, 0, 277, 416}},   // portrait
      {1024, 836, {416, 288, 31, 0, 353, 288}},  // 1.22:1 still landscape
      {1024, 860, {416, 416, 0, 33, 416, 349}},  // 1.19:1 square input
      {4000, 10, {416, 288, 0, 143, 416, 1}},    // never zero rows
  };
  for (const auto& row : cases) {
    EXPECT_EQ(yolo::letterboxFor(row.width, row.height), row.expected) << row.width;
  }
}

// Rows [cx, cy, w, h, objectness, person, dog] relative to the network input
// become observations "confidence label score … @ x y w h" (box to 4 places).
TEST(YoloDecodeTest, MapsBoxesBackToTheImageAndSuppressesOverlapsPerClass) {
  const struct {
    int width, height;
    std::vector<std::array<float, 7>> rows;
    std::vector<std::string> expected;
  } cases[] = {
      // clang-format off
      // 416 × 208 of the 416 × 288 input, 40 rows down: input x 156…260, y 72…216.
      {1000, 500, {{0.5f, 0.5f, 0.25f, 0.5f, 0.9f, 0.9f, 0}}, {"0.9 person 0.9 @ 0.375 0.1538 0.25 0.6923"}},
      // 208 × 416 of the 288 × 416 input, 40 columns in.
      {500, 1000, {{0.5f, 0.5f, 0.5f, 0.25f, 0.9f, 0.9f, 0}}, {"0.9 person 0.9 @ 0.1538 0.375 0.6923 0.25"}},
      // Rows 0 and 1 overlap (IoU 0.8): row 1 survives for person (0.8 beats 0.6),
      // row 0 for dog (0.7 beats 0.3); row 3 has no class score.
      {416, 416, {{0.50f, 0.50f, 0.20f, 0.40f, 0.9f, 0.60f, 0.70f},
                  {0.51f, 0.50f, 0.20f, 0.40f, 0.9f, 0.80f, 0.30f},
                  {0.10f, 0.10f, 0.10f, 0.10f, 0.9f, 0.00f, 0.50f},
                  {0.90f, 0.90f, 0.10f, 0.10f, 0.1f, 0.00f, 0.00f}},
       {"0.8 person 0.8 @ 0.41 0.3 0.2 0.4", "0.7 dog 0.7 @ 0.4 0.3 0.2 0.4", "0.5 dog 0.5 @ 0.05 0.05 0.1 0.1"}},
      // A row alone keeps both classes, best first.
      {416, 416, {{0.5f, 0.5f, 0.2f, 0.4f, 0.9f, 0.3f, 0.6f}}, {"0.6 dog 0.6 person 0.3 @ 0.4 0.3 0.2 0.4"}},
      // clang-format on
  };
  const std::vector<std::string> labels = {"person", "dog"};
  for (const auto& row : cases) {
    const yolo::RegionRows layer{row.rows.front().data(), static_cast<int>(row.rows.size()), 7};
    std::vector<std::string> found;
    for (const O& o : yolo::observations(std::span(&layer, 1),
                                         yolo::letterboxFor(row.width, row.height), labels)) {
      std::ostringstream text;
      text << o.confidence;
      for (const auto& label : o.labels) text << ' ' << label.identifier << ' ' << label.confidence;
      const Box& b = o.boundingBox;
      text << std::setprecision(4) << " @ " << b.x << ' ' << b.y << ' ' << b.width << ' '
           << b.height;
      found.push_back(text.str());
    }
    EXPECT_EQ(found, row.expected);
  }
  const yolo::RegionRows narrow{cases[0].rows.front().data(), 1, 6};  // a column short
  EXPECT_THROW(yolo::observations(std::span(&narrow, 1), yolo::letterboxFor(416, 416), labels),
               std::runtime_error);
}

// A two-class YOLO network on a 32 × 32 input: conv 3×3/2 with batch norm
// (4·4 + 4·3·9 = 124 floats), conv 1×1 to 7 channels (7 + 7·4 = 35), yolo.
constexpr std::string_view kTinyCfg =
    "[net]\nwidth=32\nheight=32\nchannels=3\n\n"
    "[convolutional]\nfilters=4\nsize=3\nstride=2\npad=1\nbatch_normalize=1\nactivation=leaky\n\n"
    "[convolutional]\nfilters=7\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
    "[yolo]\nmask=0\nanchors=10,14, 23,27\nclasses=2\nnum=2\nthresh = .5\nignore_thresh=.7\n";
constexpr std::string_view kTinyLabels = "person\nbicycle\n";
// The same network without its detection layer: a classifier.
const std::string kClassifierCfg =
    std::string(kTinyCfg.substr(0, kTinyCfg.find("[yolo]"))) + "[avgpool]\n\n[softmax]\n";
// Version 0.2.0, a 64-bit seen counter, then the tiny network's 159 floats.
const std::string kTinyWeights = [] {
  std::string weights(20 + 159 * 4, '\0');
  weights[4] = 2;
  for (std::size_t i = 20; i < weights.size(); ++i) weights[i] = static_cast<char>(i % 7);
  return weights;
}();

// The tiny network as a darknet pair (stem.cfg, stem.weights, coco.names),
// or with `stem` "model" exactly the files of a prepared directory.
void writeModel(const fs::path& dir, const std::string& stem, std::string_view cfg = kTinyCfg) {
  fs::create_directories(dir);
  writeFile(dir / (stem + ".cfg"), cfg);
  writeFile(dir / (stem + ".weights"), kTinyWeights);
  writeFile(dir / (stem == "model" ? "labels.txt" : "coco.names"), kTinyLabels);
}

// The package as `tar -cf` writes it: names with folders, the weights over
// two blocks, an empty file between them and the labels.
std::string tinyPackage() {
  TempDir dir;
  writeModel(dir / "pkg", "model");
  fs::rename(dir / "pkg/model.cfg", dir / "model.cfg");
  fs::rename(dir / "pkg/labels.txt", dir / "labels.txt");
  writeFile(dir / "empty", "");
  const std::string tar = "tar -cf " + (dir / "p.tar").string() + " -C " + dir.path().string() +
                          " ./model.cfg pkg/model.weights empty ./labels.txt";
  EXPECT_EQ(std::system(tar.c_str()), 0);
  return readFile(dir / "p.tar");
}

TEST(ModelLocateTest, BothModelsSearchTheSameFoldersInOrder) {
  TempDir root;
  // The executable's path three levels up is app/a.
  const ModelSearchPlaces places{root / "resources", root / "cwd", root / "app/a/b/c/kestrel"};
  EXPECT_EQ(searchFolders(places), (std::vector<fs::path>{root / "resources", root / "cwd/Models",
                                                          root / "app/a/Models"}));
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

TEST(ModelLoadTest, LoadsEveryModelFormAndPreparesOne) {
  TempDir dir;
  writeModel(dir / "pair", "tiny");
  writeModel(dir / "folder", "published-name");
  writeFile(dir / "Package.mlmodel", tinyPackage());
  // Only the exact lower-case extension marks a prepared directory: this is a package.
  writeFile(dir / "Package.MLMODELC", tinyPackage());
  ModelLoader::compile(dir / "Package.mlmodel", dir / "Models/Prepared.mlmodelc");
  EXPECT_EQ(readFile(dir / "Models/Prepared.mlmodelc/model.cfg"), kTinyCfg);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Models"), {}), 1);  // nothing beside it
  for (const fs::path& url : {dir / "Models/Prepared.mlmodelc", dir / "pair/tiny.cfg",
                              dir / "folder", dir / "Package.mlmodel", dir / "Package.MLMODELC"}) {
    SCOPED_TRACE(url.string());
    const auto model = ModelLoader::load(url, ComputeChoice::cpu);
    EXPECT_EQ(model->labels, (std::vector<std::string>{"person", "bicycle"}));
    EXPECT_EQ(model->weights, kTinyWeights);
    // The layer's cut-off sits below the person rule's 0.2, its own suppression off.
    EXPECT_THAT(model->configuration, HasSubstr("ignore_thresh=.7\nthresh=0.1\nnms_threshold=0\n"));
    EXPECT_THAT(model->configuration, ::testing::Not(HasSubstr("thresh = .5")));
  }
}

TEST(ModelLoadTest, BadModelsFailClearly) {
  const std::string& w = kTinyWeights;
  const std::string pkg = tinyPackage();
  std::string sparkly(kTinyCfg);
  // A file written into a good prepared model, a part of the message, what is loaded.
  const struct {
    std::string file, content, message, url = "model.cfg";
  } cases[] = {
      // clang-format off
      {"model.weights", w.substr(0, w.size() - 40), "文件不完整"},
      {"model.weights", w + "abcd", "网络需要 656 字节"},
      {"model.weights", std::string("\0\0\0\x80", 4) + w.substr(4), "网络需要 652 字节"},  // version INT32_MIN
      {"labels.txt", "person\n", "类别"},
      {"model.cfg", sparkly.replace(sparkly.find("=leaky"), 6, "=sparkly"), "sparkly"},  // OpenCV refuses it
      {"other.cfg", std::string(kTinyCfg), "other.weights: No such file or directory", "other.cfg"},
      {"P.mlmodelc", pkg, "P.mlmodelc/model.cfg", "P.mlmodelc"},  // a file is not unpacked
      // Damaged packages are refused, never read out of bounds.
      {"P.mlmodel", std::string(pkg).replace(3, 1, "M"), "tar 文件", "P.mlmodel"},  // header checksum
      {"P.mlmodel", pkg.substr(0, 3 * 512 + 300), "tar 文件", "P.mlmodel"},  // weights cut short
      {"P.mlmodel", std::string(2048, 'x'), "tar 文件", "P.mlmodel"},
      {"model.cfg", kClassifierCfg, kNotADetector},
      // clang-format on
  };
  for (const auto& row : cases) {
    TempDir dir;
    writeModel(dir.path(), "model");
    writeFile(dir / row.file, row.content);
    EXPECT_THAT([&] { ModelLoader::load(dir / row.url, ComputeChoice::cpu); },
                ThrowsMessage<std::runtime_error>(HasSubstr(row.message)));
  }
}

TEST(ModelCompileTest, NeverReplacesAndLeavesNothingOfABadSource) {
  TempDir dir;
  writeModel(dir / "source", "tiny");
  writeFile(dir / "occupied", "mine");
  fs::create_directory(dir / "existing.mlmodelc");
  ModelLoader::compile(dir / "missing.mlmodel", dir / "occupied");  // the source not even read
  ModelLoader::compile(dir / "source/tiny.cfg", dir / "existing.mlmodelc");
  EXPECT_EQ(readFile(dir / "occupied"), "mine");
  EXPECT_TRUE(fs::is_empty(dir / "existing.mlmodelc"));
  writeModel(dir.path(), "classifier", kClassifierCfg);  // not a detector: a CropError
  EXPECT_THAT([&] { ModelLoader::compile(dir / "classifier.cfg", dir / "out/x.mlmodelc"); },
              ThrowsMessage<CropError>(kNotADetector));
  EXPECT_TRUE(!fs::exists(dir / "out") || fs::is_empty(dir / "out"));
}

TEST(DarknetConfigTest, CountsTheWeightsEachLayerNeeds) {
  const auto cfg = [](std::string words) {  // each space starts a new line
    std::replace(words.begin(), words.end(), ' ', '\n');
    return darknet::summarize(words).parameterCount;
  };
  // conv 3→8 with batch norm (8·4 + 8·3·9 = 248) to 16 × 16; maxpool stride 1 keeps 16;
  // depthwise, 8 groups (8 + 8·9 = 80); route -1,-3: 8 + 8 channels; route of group 2 of
  // 2: 8; 1×1 to 2 (2 + 2·8 = 18); shortcut; upsample to 32 × 32; connected to 3
  // (3 + 2048·3 = 6147).
  EXPECT_EQ(cfg("[net] width=32 height=32 channels=3 [convolutional] filters=8 size=3 stride=2 "
                "pad=1 batch_normalize=1 [maxpool] size=2 stride=1 [convolutional] filters=8 "
                "groups=8 size=3 pad=1 [route] layers=-1,-3 [route] layers=-1 groups=2 "
                "group_id=1 [convolutional] filters=2 size=1 [shortcut] from=-1 [upsample] "
                "stride=2 [connected] output=3"),
            248u + 80 + 18 + 6147);
  for (const char* bad : {"[convolutional] filters=1 size=1", "[net] [lstm] output=4",
                          "[net] [route] layers=3", "[net] [yolo] classes=2 [yolo] classes=3"}) {
    EXPECT_THROW(cfg(bad), std::runtime_error) << bad;
  }
}

}  // namespace
}  // namespace kestrel
