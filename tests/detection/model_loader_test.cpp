// SPDX-License-Identifier: MIT
// Finding both models, and preparing and loading the person detection
// model from small darknet models and tar packages written on the fly.
#include "core/detection/model_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "core/base/crop_error.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/detail/tar_archive.h"
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
constexpr std::string_view kNotADetector =
    "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型";

// Version 0.2.0, a 64-bit seen counter, then the tiny network's 159 floats.
std::string tinyWeights() {
  std::string out(20, '\0');
  out[4] = 2;
  for (int i = 0; i < 124 + 35; ++i) {
    const float value = 0.01f * static_cast<float>(i % 17) - 0.05f;
    out.append(reinterpret_cast<const char*>(&value), 4);
  }
  return out;
}

// The tiny network as a darknet pair (stem.cfg, stem.weights, coco.names),
// or with `stem` "model" exactly the files of a prepared directory.
void writeModel(const fs::path& dir, const std::string& stem, std::string_view cfg = kTinyCfg) {
  fs::create_directories(dir);
  writeFile(dir / (stem + ".cfg"), cfg);
  writeFile(dir / (stem + ".weights"), tinyWeights());
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
              ThrowsMessage<CropError>(
                  "未找到人物检测模型。请先运行 scripts/setup.sh，或通过 --model 指定模型。"));
  EXPECT_THAT(
      [&] { FaceModelLoader::locate(std::nullopt, places); },
      ThrowsMessage<CropError>(
          "未找到人脸检测模型。请先运行 scripts/setup.sh，或通过 --face-model 指定模型目录。"));
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

TEST(ModelLoadTest, LoadsEveryModelForm) {
  TempDir dir;
  writeModel(dir / "Prepared.mlmodelc", "model");
  writeModel(dir / "pair", "tiny");
  writeModel(dir / "folder", "published-name");
  writeFile(dir / "Package.mlmodel", tinyPackage());
  // Only the exact lower-case extension marks a prepared directory: this is a package.
  writeFile(dir / "Package.MLMODELC", tinyPackage());
  for (const fs::path& url : {dir / "Prepared.mlmodelc", dir / "pair/tiny.cfg", dir / "folder",
                              dir / "Package.mlmodel", dir / "Package.MLMODELC"}) {
    SCOPED_TRACE(url.string());
    const auto model = ModelLoader::load(url, ComputeChoice::cpu);
    EXPECT_EQ(model->labels, (std::vector<std::string>{"person", "bicycle"}));
    EXPECT_EQ(model->weights, tinyWeights());
    // The layer's cut-off sits below the person rule's 0.2, its own suppression off.
    EXPECT_THAT(model->configuration, HasSubstr("ignore_thresh=.7\nthresh=0.1\nnms_threshold=0\n"));
    EXPECT_THAT(model->configuration, ::testing::Not(HasSubstr("thresh = .5")));
  }
}

TEST(ModelLoadTest, BadModelsFailClearly) {
  const std::string w = tinyWeights();
  std::string sparkly(kTinyCfg);
  sparkly.replace(sparkly.find("=leaky"), 6, "=sparkly");
  // A file written into a good prepared model, a part of the message, what is loaded.
  const struct {
    std::string file, content, message, url = "model.cfg";
  } cases[] = {
      // clang-format off
      {"model.weights", w.substr(0, w.size() - 40), "文件不完整"},
      {"model.weights", w + "abcd", "网络需要 656 字节"},
      {"model.weights", std::string("\0\0\0\x80", 4) + w.substr(4), "网络需要 652 字节"},  // version INT32_MIN
      {"labels.txt", "person\n", "类别"},
      {"model.cfg", sparkly, "sparkly"},  // OpenCV cannot build it
      {"other.cfg", std::string(kTinyCfg), "other.weights: No such file or directory", "other.cfg"},
      {"P.mlmodelc", tinyPackage(), "P.mlmodelc/model.cfg", "P.mlmodelc"},  // a file is not unpacked
      // clang-format on
  };
  for (const auto& row : cases) {
    TempDir dir;
    writeModel(dir.path(), "model");
    writeFile(dir / row.file, row.content);
    EXPECT_THAT([&] { ModelLoader::load(dir / row.url, ComputeChoice::cpu); },
                ThrowsMessage<std::runtime_error>(HasSubstr(row.message)));
  }
  TempDir dir;
  writeModel(dir.path(), "model", kClassifierCfg);
  EXPECT_THAT([&] { ModelLoader::load(dir / "model.cfg", ComputeChoice::cpu); },
              ThrowsMessage<CropError>(kNotADetector));
}

TEST(ModelCompileTest, WritesAPreparedDirectoryAtomicallyAndNeverReplacesOne) {
  TempDir dir;
  writeModel(dir / "source", "tiny");
  const fs::path destination = dir / "Models/YOLOv3TinyFP16.mlmodelc";
  ModelLoader::compile(dir / "source/tiny.cfg", destination);
  EXPECT_EQ(readFile(destination / "model.cfg"), kTinyCfg);
  EXPECT_EQ(readFile(destination / "labels.txt"), kTinyLabels);
  EXPECT_EQ(ModelLoader::load(destination, ComputeChoice::cpu)->weights, tinyWeights());
  // Nothing left beside it from writing.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Models"), fs::directory_iterator()), 1);
  // An existing destination stays as it is, the source not even read.
  writeFile(dir / "occupied", "mine");
  fs::create_directory(dir / "existing.mlmodelc");
  ModelLoader::compile(dir / "missing.mlmodel", dir / "occupied");
  ModelLoader::compile(dir / "source/tiny.cfg", dir / "existing.mlmodelc");
  EXPECT_EQ(readFile(dir / "occupied"), "mine");
  EXPECT_TRUE(fs::is_empty(dir / "existing.mlmodelc"));
  // A bad source leaves nothing behind.
  writeModel(dir.path(), "classifier", kClassifierCfg);
  EXPECT_THAT([&] { ModelLoader::compile(dir / "classifier.cfg", dir / "out/x.mlmodelc"); },
              ThrowsMessage<CropError>(kNotADetector));
  EXPECT_TRUE(!fs::exists(dir / "out") || fs::is_empty(dir / "out"));
}

// Darknet text from words: each space starts a new line.
std::string cfg(std::string words) {
  std::replace(words.begin(), words.end(), ' ', '\n');
  return words;
}

TEST(DarknetConfigTest, CountsTheWeightsEachLayerNeeds) {
  // conv 3→8 with batch norm (8·4 + 8·3·9 = 248) to 16 × 16; maxpool stride 1 keeps 16;
  // depthwise, 8 groups (8 + 8·9 = 80); route -1,-3: 8 + 8 channels; route of group 2 of
  // 2: 8; 1×1 to 2 (2 + 2·8 = 18); shortcut; upsample to 32 × 32; connected to 3
  // (3 + 2048·3 = 6147).
  EXPECT_EQ(darknet::summarize(
                cfg("[net] width=32 height=32 channels=3 [convolutional] filters=8 size=3 "
                    "stride=2 pad=1 batch_normalize=1 [maxpool] size=2 stride=1 [convolutional] "
                    "filters=8 groups=8 size=3 pad=1 [route] layers=-1,-3 [route] layers=-1 "
                    "groups=2 group_id=1 [convolutional] filters=2 size=1 [shortcut] from=-1 "
                    "[upsample] stride=2 [connected] output=3"))
                .parameterCount,
            248u + 80 + 18 + 6147);
  for (const char* bad : {"[convolutional] filters=1 size=1", "[net] [lstm] output=4",
                          "[net] [route] layers=3", "[net] [yolo] classes=2 [yolo] classes=3"}) {
    EXPECT_THROW(darknet::summarize(cfg(bad)), std::runtime_error) << bad;
  }
}

// Damaged archives are refused, never read out of bounds.
TEST(TarArchiveTest, RefusesDamagedArchives) {
  const std::string good = tinyPackage();
  ASSERT_EQ(tar::readEntries(good).size(), 4u);
  std::string badChecksum = good;
  badChecksum[3] = 'M';
  for (const std::string& archive :
       {badChecksum, good.substr(0, 3 * 512 + 300), good.substr(0, 100), std::string(2048, 'x')}) {
    EXPECT_THROW(tar::readEntries(archive), std::runtime_error);
  }
}

}  // namespace
}  // namespace kestrel
