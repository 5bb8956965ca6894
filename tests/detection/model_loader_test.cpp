// SPDX-License-Identifier: MIT
// Finding, preparing and loading the person detection model; darknet
// network descriptions and tar packages.
#include "core/detection/model_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/base/crop_error.h"
#include "core/detection/detail/darknet_config.h"
#include "core/detection/detail/tar_archive.h"
#include "tests/detection/detection_fixtures.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::thrownMessage;
using testing::writeFile;

constexpr std::string_view kNotADetector =
    "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型";

// Scratch trees hold resources/, cwd/ and an executable at app/a/b/c/kestrel
// whose path three levels up is app/a.
ModelSearchPlaces placesIn(const TempDir& root) {
  return {root / "resources", root / "cwd", root / "app/a/b/c/kestrel"};
}

TEST(ModelLocateTest, SearchesThePlacesInOrderPreparedBeforeSource) {
  // The prepared model and its source.
  const std::string P = "YOLOv3TinyFP16.mlmodelc", S = "YOLOv3TinyFP16.mlmodel";
  const struct {
    const char* name;
    std::vector<std::string> present;
    int found;  // index in `present` of the model found; -1: none
  } cases[] = {
      {"prepared before source in one place", {"cwd/Models/" + S, "cwd/Models/" + P}, 1},
      {"source alone", {"cwd/Models/" + S}, 0},
      {"resource directory first, searched directly", {"resources/" + S, "cwd/Models/" + P}, 0},
      {"cwd Models before the executable's", {"cwd/Models/" + S, "app/a/Models/" + P}, 0},
      {"Models three levels above the executable", {"app/a/Models/" + P, "app/a/b/Models/" + P}, 0},
      {"nothing anywhere", {}, -1},
      {"model directly in the working directory", {"cwd/" + P}, -1},
      {"Models inside the resource directory", {"resources/Models/" + P}, -1},
      {"other names", {"cwd/Models/yolov3tinyfp16.mlmodelc", "cwd/Models/model.cfg"}, -1},
      // "@" marks a symbolic link to nothing: the search goes on past it.
      {"a dangling link is not a model", {"@resources/" + P, "cwd/Models/" + S}, 1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir root;
    for (std::string file : row.present) {
      const bool dangling = file.starts_with('@');
      if (dangling) file.erase(0, 1);
      fs::create_directories((root / file).parent_path());
      if (dangling) {
        fs::create_symlink(root / "gone", root / file);
      } else {
        writeFile(root / file, "x");
      }
    }
    if (row.found < 0) {
      EXPECT_EQ(
          thrownMessage<CropError>([&] { ModelLoader::locate(std::nullopt, placesIn(root)); }),
          "未找到人物检测模型。请先运行 scripts/setup.sh，或通过 --model 指定模型。");
    } else {
      EXPECT_EQ(ModelLoader::locate(std::nullopt, placesIn(root)), root / row.present[row.found]);
    }
    // An explicit path is returned unchecked, without searching.
    const fs::path missing = root / "nowhere/../custom.cfg";
    EXPECT_EQ(ModelLoader::locate(missing, placesIn(root)), missing);
  }
  EXPECT_EQ(ModelLoader::locate(fs::path("nowhere/x.cfg")), "nowhere/x.cfg");
}

// The tiny network as a darknet pair (stem.cfg, stem.weights, coco.names),
// or with `stem` "model" exactly the files of a prepared directory.
void writeModel(const fs::path& dir, const std::string& stem,
                std::string_view cfg = testing::kTinyYoloCfg) {
  fs::create_directories(dir);
  writeFile(dir / (stem + ".cfg"), cfg);
  writeFile(dir / (stem + ".weights"), testing::darknetWeights(testing::kTinyYoloFloats));
  writeFile(dir / (stem == "model" ? "labels.txt" : "coco.names"), testing::kTinyYoloLabels);
}

// A package as `tar -cf` writes it; the weights span two blocks and an
// empty file lies between them and the labels.
std::string tinyPackage() {
  return testing::tarArchive(
      {{"./model.cfg", std::string(testing::kTinyYoloCfg)},
       {"pkg/model.weights", testing::darknetWeights(testing::kTinyYoloFloats)},
       {"empty", ""},
       {"./labels.txt", std::string(testing::kTinyYoloLabels)}});
}

TEST(ModelLoadTest, LoadsEveryModelForm) {
  TempDir dir;
  writeModel(dir / "Prepared.mlmodelc", "model");
  writeModel(dir / "pair", "tiny");
  writeModel(dir / "folder", "published-name");
  writeFile(dir / "Package.mlmodel", tinyPackage());
  // Only the exact lower-case extension marks a prepared directory; in
  // upper case it is a source, here a package file.
  writeFile(dir / "Package.MLMODELC", tinyPackage());
  for (const fs::path& url : {dir / "Prepared.mlmodelc", dir / "pair/tiny.cfg", dir / "folder",
                              dir / "Package.mlmodel", dir / "Package.MLMODELC"}) {
    SCOPED_TRACE(url.string());
    const auto model = ModelLoader::load(url, ComputeChoice::cpu);
    EXPECT_EQ(model->source, url);
    EXPECT_EQ(model->labels, (std::vector<std::string>{"person", "bicycle"}));
    EXPECT_EQ(model->weights, testing::darknetWeights(testing::kTinyYoloFloats));
    EXPECT_EQ(model->target, InferenceTarget::cpu);
    // The detection layer's score cut-off sits below the person rule's 0.2.
    EXPECT_NE(model->configuration.find("thresh=0.1\nnms_threshold=0\n"), std::string::npos);
    EXPECT_EQ(model->configuration.find("thresh = .5"), std::string::npos);
    EXPECT_NE(model->configuration.find("ignore_thresh=.7"), std::string::npos);
  }
}

// Each bad model fails with a message naming the problem: a CropError only
// for a network that is no detector, otherwise the system's own error.
TEST(ModelLoadTest, BadModelsFailClearly) {
  std::string badActivation(testing::kTinyYoloCfg);
  badActivation.replace(badActivation.find("activation=leaky"), 16, "activation=sparkly");
  const std::string weights = testing::darknetWeights(testing::kTinyYoloFloats);
  const struct {
    const char* name;
    std::function<void(const fs::path&)> spoil;  // of dir/model.cfg and its files
    std::string message;                         // a part of what()
    fs::path url = "model.cfg";
  } cases[] = {
      {"missing weights", [](auto& d) { fs::remove(d / "model.weights"); },
       "No such file or directory"},
      {"truncated weights",
       [&](auto& d) { writeFile(d / "model.weights", weights.substr(0, weights.size() - 40)); },
       "文件不完整"},
      {"weights of another network",
       [&](auto& d) { writeFile(d / "model.weights", weights + "abcd"); }, "网络需要 656 字节"},
      {"a version field no darknet writes (INT32_MIN)",  // read without overflow
       [&](auto& d) {
         writeFile(d / "model.weights", std::string("\0\0\0\x80", 4) + weights.substr(4));
       },
       "网络需要 652 字节"},
      {"labels that do not match the classes",
       [](auto& d) { writeFile(d / "labels.txt", "person\n"); }, "类别"},
      {"activation OpenCV does not know",
       [&](auto& d) { writeFile(d / "model.cfg", badActivation); }, "sparkly"},
      {"not a detector", [](auto& d) { writeFile(d / "model.cfg", testing::kTinyClassifierCfg); },
       std::string(kNotADetector)},
      {"package file with the prepared extension is not unpacked",
       [](auto& d) { writeFile(d / "P.mlmodelc", tinyPackage()); }, "model.cfg", "P.mlmodelc"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    writeModel(dir.path(), "model");
    row.spoil(dir.path());
    bool cropError = false;
    const std::string message = thrownMessage<std::runtime_error>([&] {
      try {
        ModelLoader::load(dir.path() / row.url, ComputeChoice::cpu);
      } catch (const CropError&) {
        cropError = true;
        throw;
      }
    });
    EXPECT_NE(message.find(row.message), std::string::npos) << message;
    EXPECT_EQ(cropError, row.message == kNotADetector);
  }
}

TEST(ModelCompileTest, WritesAPreparedDirectoryAndNeverReplacesOne) {
  TempDir dir;
  writeModel(dir / "source", "tiny");
  const fs::path destination = dir / "Models/YOLOv3TinyFP16.mlmodelc";
  ModelLoader::compile(dir / "source/tiny.cfg", destination);
  EXPECT_EQ(readFile(destination / "model.cfg"), testing::kTinyYoloCfg);
  EXPECT_EQ(readFile(destination / "labels.txt"), testing::kTinyYoloLabels);
  EXPECT_EQ(ModelLoader::load(destination, ComputeChoice::cpu)->labels.size(), 2u);
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
  writeModel(dir.path(), "classifier", testing::kTinyClassifierCfg);
  EXPECT_THROW(ModelLoader::compile(dir / "classifier.cfg", dir / "out/x.mlmodelc"), CropError);
  EXPECT_TRUE(!fs::exists(dir / "out") || fs::is_empty(dir / "out"));
}

// Darknet text from words: each space starts a new line.
std::string cfg(std::string words) {
  std::replace(words.begin(), words.end(), ' ', '\n');
  return words;
}

TEST(DarknetConfigTest, CountsTheWeightsEachLayerNeeds) {
  const struct {
    const char* name;
    std::string cfg;
    std::uint64_t parameters;  // 0: refused
    bool detects = false;
  } cases[] = {
      // conv 3→8 (8·4 + 8·3·9 = 248); maxpool 16→8; depthwise 8 groups (8 + 8·9 = 80);
      // route -1,-3 concatenates 8 + 8 = 16 channels; 1×1 to 7 (7 + 7·16 = 119).
      {"groups, route and maxpool",
       cfg("[net] width=32 height=32 channels=3 [convolutional] filters=8 size=3 stride=2 pad=1 "
           "batch_normalize=1 activation=leaky [maxpool] size=2 stride=1 [convolutional] filters=8 "
           "groups=8 size=3 pad=1 activation=leaky [route] layers=-1,-3 [convolutional] filters=7 "
           "size=1 activation=linear [yolo] mask=0 anchors=1,1 classes=2 num=1"),
       248 + 80 + 119, true},
      // conv 3→8 (8 + 8·3 = 32); the second half of its channels (4) to 1×1 → 2 (2 + 2·4 = 10).
      {"route of a channel group",
       cfg("[net] channels=3 [convolutional] filters=8 size=1 activation=leaky [route] layers=-1 "
           "groups=2 group_id=1 [convolutional] filters=2 size=1 activation=linear"),
       32 + 10},
      // conv 2→2 (2 + 2·2 = 6); upsampled to 2 × 8 × 8; connected to 3 (3 + 128·3 = 387).
      {"upsample, shortcut and a connected layer",
       cfg("[net] width=4 height=4 channels=2 [convolutional] filters=2 size=1 activation=linear "
           "[shortcut] from=-1 [upsample] stride=2 [connected] output=3"),
       6 + 387},
      {"no [net]", cfg("[convolutional] filters=1 size=1"), 0},
      {"unknown layer", cfg("[net] [lstm] output=4"), 0},
      {"route to a later layer", cfg("[net] [route] layers=3"), 0},
      {"yolo layers disagreeing on classes", cfg("[net] [yolo] classes=2 [yolo] classes=3"), 0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    if (row.parameters == 0) {
      EXPECT_THROW(darknet::summarize(row.cfg), std::runtime_error);
    } else {
      EXPECT_EQ(darknet::summarize(row.cfg).parameterCount, row.parameters);
      EXPECT_EQ(darknet::summarize(row.cfg).detectsObjects, row.detects);
    }
  }
}

// Damaged archives are refused, never read out of bounds.
TEST(TarArchiveTest, RefusesDamagedArchives) {
  const std::string good = testing::tarArchive({{"model.cfg", std::string(700, 'c')}});
  std::string badChecksum = good, badSize = good;
  badChecksum[0] = 'M';
  badSize.replace(124, 11, "0000000009x");
  testing::sealTarHeader(badSize);  // so the size itself is what is refused
  ASSERT_EQ(tar::readEntries(good).size(), 1u);
  for (const std::string& archive : {badChecksum, badSize, good.substr(0, 512 + 600),
                                     good.substr(0, 100), std::string(2048, 'x')}) {
    EXPECT_THROW(tar::readEntries(archive), std::runtime_error);
  }
}

}  // namespace
}  // namespace kestrel
