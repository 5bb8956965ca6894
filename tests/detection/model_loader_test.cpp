// SPDX-License-Identifier: MIT
// Finding, preparing and loading the person detection model; darknet
// network descriptions and tar packages.
#include "core/detection/model_loader.h"

#include <gtest/gtest.h>

#include <functional>
#include <system_error>

#include "core/batch/crop_error.h"
#include "core/detection/darknet_config.h"
#include "core/detection/tar_archive.h"
#include "tests/detection/detection_fixtures.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr const char* kPrepared = "YOLOv3TinyFP16.mlmodelc";
constexpr const char* kSource = "YOLOv3TinyFP16.mlmodel";

// --- locate -------------------------------------------------------------

// A scratch tree: resources/, cwd/, and an executable at app/a/b/c/kestrel
// whose path three levels up is app/a.
struct SearchTree {
  TempDir root;
  ModelSearchPlaces places() const {
    return {root / "resources", root / "cwd", root / "app/a/b/c/kestrel"};
  }
  void put(const std::string& relative) const {
    fs::create_directories((root / relative).parent_path());
    writeFile(root / relative, "x");
  }
};

TEST(ModelLocateTest, SearchesThePlacesInOrderPreparedBeforeSource) {
  const struct {
    const char* name;
    std::vector<std::string> present;
    std::string expected;  // relative to the tree
  } cases[] = {
      {"prepared before source in one place",
       {"cwd/Models/YOLOv3TinyFP16.mlmodel", "cwd/Models/YOLOv3TinyFP16.mlmodelc"},
       "cwd/Models/YOLOv3TinyFP16.mlmodelc"},
      {"source alone", {"cwd/Models/YOLOv3TinyFP16.mlmodel"}, "cwd/Models/YOLOv3TinyFP16.mlmodel"},
      {"resource directory first, searched directly",
       {"resources/YOLOv3TinyFP16.mlmodel", "cwd/Models/YOLOv3TinyFP16.mlmodelc"},
       "resources/YOLOv3TinyFP16.mlmodel"},
      {"working directory's Models before the executable's",
       {"cwd/Models/YOLOv3TinyFP16.mlmodel", "app/a/Models/YOLOv3TinyFP16.mlmodelc"},
       "cwd/Models/YOLOv3TinyFP16.mlmodel"},
      {"Models three levels above the executable",
       {"app/a/Models/YOLOv3TinyFP16.mlmodelc", "app/a/b/Models/YOLOv3TinyFP16.mlmodelc"},
       "app/a/Models/YOLOv3TinyFP16.mlmodelc"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    SearchTree tree;
    for (const auto& file : row.present) tree.put(file);
    EXPECT_EQ(ModelLoader::locate(std::nullopt, tree.places()), tree.root / row.expected);
  }
}

TEST(ModelLocateTest, ReportsAMissingModelWithTheSetupHint) {
  const struct {
    const char* name;
    std::vector<std::string> present;
  } cases[] = {
      {"nothing anywhere", {}},
      {"model directly in the working directory", {"cwd/YOLOv3TinyFP16.mlmodelc"}},
      {"Models inside the resource directory", {"resources/Models/YOLOv3TinyFP16.mlmodelc"}},
      {"other names", {"cwd/Models/yolov3tinyfp16.mlmodelc", "cwd/Models/model.cfg"}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    SearchTree tree;
    for (const auto& file : row.present) tree.put(file);
    try {
      ModelLoader::locate(std::nullopt, tree.places());
      ADD_FAILURE() << "found a model";
    } catch (const CropError& error) {
      EXPECT_STREQ(error.what(),
                   "未找到人物检测模型。请先运行 scripts/setup.sh，或通过 --model 指定模型。");
    }
  }
}

TEST(ModelLocateTest, ExplicitPathIsReturnedUncheckedWithoutSearching) {
  SearchTree tree;
  tree.put("cwd/Models/YOLOv3TinyFP16.mlmodelc");
  const fs::path missing = tree.root / "nowhere/../custom.cfg";
  EXPECT_EQ(ModelLoader::locate(missing, tree.places()), missing);
  EXPECT_EQ(ModelLoader::locate(missing), missing);
}

// --- load and compile ---------------------------------------------------

void writeDarknetPair(const fs::path& directory, const std::string& stem,
                      std::string_view cfg = testing::kTinyYoloCfg,
                      std::size_t floats = testing::kTinyYoloFloats) {
  fs::create_directories(directory);
  writeFile(directory / (stem + ".cfg"), cfg);
  writeFile(directory / (stem + ".weights"), testing::darknetWeights(floats));
  writeFile(directory / "coco.names", testing::kTinyYoloLabels);
}

void writePrepared(const fs::path& directory) {
  fs::create_directories(directory);
  writeFile(directory / "model.cfg", testing::kTinyYoloCfg);
  writeFile(directory / "model.weights", testing::darknetWeights(testing::kTinyYoloFloats));
  writeFile(directory / "labels.txt", testing::kTinyYoloLabels);
}

std::string tinyPackage() {
  return testing::tarArchive(
      {{"./model.cfg", std::string(testing::kTinyYoloCfg)},
       {"./model.weights", testing::darknetWeights(testing::kTinyYoloFloats)},
       {"./labels.txt", std::string(testing::kTinyYoloLabels)}});
}

TEST(ModelLoadTest, LoadsEveryModelForm) {
  TempDir dir;
  writePrepared(dir / "Prepared.mlmodelc");
  writeDarknetPair(dir / "pair", "tiny");
  writeDarknetPair(dir / "folder", "published-name");
  writeFile(dir / "Package.mlmodel", tinyPackage());
  // Only the exact lower-case extension marks a prepared directory; the
  // same letters in upper case are a source, here a package file.
  writeFile(dir / "Package.MLMODELC", tinyPackage());

  for (const fs::path& url : {dir / "Prepared.mlmodelc", dir / "pair/tiny.cfg", dir / "folder",
                              dir / "Package.mlmodel", dir / "Package.MLMODELC"}) {
    SCOPED_TRACE(url.string());
    const auto model = ModelLoader::load(url, ComputeChoice::cpu);
    EXPECT_EQ(model->source, url);
    EXPECT_EQ(model->labels, (std::vector<std::string>{"person", "bicycle"}));
    EXPECT_EQ(model->weights, testing::darknetWeights(testing::kTinyYoloFloats));
    EXPECT_EQ(model->target, InferenceTarget::cpu);
  }
}

TEST(ModelLoadTest, APackageFileWithThePreparedExtensionIsNotUnpacked) {
  TempDir dir;
  writeFile(dir / "Package.mlmodelc", tinyPackage());
  try {
    ModelLoader::load(dir / "Package.mlmodelc", ComputeChoice::all);
    ADD_FAILURE() << "loaded";
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find("model.cfg"), std::string::npos) << error.what();
  }
}

TEST(ModelLoadTest, SetsTheDetectionLayersScoreCutoffBelowThePersonRule) {
  TempDir dir;
  writeDarknetPair(dir.path(), "tiny");
  const auto model = ModelLoader::load(dir / "tiny.cfg", ComputeChoice::cpu);
  EXPECT_NE(model->configuration.find("thresh=0.1\nnms_threshold=0\n"), std::string::npos);
  EXPECT_EQ(model->configuration.find("thresh = .5"), std::string::npos);
  EXPECT_NE(model->configuration.find("ignore_thresh=.7"), std::string::npos);
}

// Each bad model fails with a message naming the problem.
TEST(ModelLoadTest, BadModelsFailClearly) {
  std::string badActivation(testing::kTinyYoloCfg);
  badActivation.replace(badActivation.find("activation=leaky"), 16, "activation=sparkly");

  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;  // writes dir/model.cfg (+ weights)
    std::string message;                        // a part of what() that must appear
  } cases[] = {
      {"missing weights",
       [](const fs::path& d) { writeFile(d / "model.cfg", testing::kTinyYoloCfg); },
       "No such file or directory"},
      {"truncated weights",
       [](const fs::path& d) {
         writeDarknetPair(d, "model");
         std::string w = testing::darknetWeights(testing::kTinyYoloFloats);
         writeFile(d / "model.weights", w.substr(0, w.size() - 40));
       },
       "文件不完整"},
      {"weights of another network",
       [](const fs::path& d) {
         writeDarknetPair(d, "model");
         writeFile(d / "model.weights", testing::darknetWeights(testing::kTinyYoloFloats + 1));
       },
       "网络需要 656 字节"},
      {"labels that do not match the classes",
       [](const fs::path& d) {
         writeDarknetPair(d, "model");
         writeFile(d / "coco.names", "person\n");
       },
       "类别"},
      {"activation OpenCV does not know",
       [&](const fs::path& d) { writeDarknetPair(d, "model", badActivation); }, "sparkly"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    row.make(dir.path());
    try {
      ModelLoader::load(dir / "model.cfg", ComputeChoice::cpu);
      ADD_FAILURE() << "loaded";
    } catch (const CropError& error) {
      ADD_FAILURE() << "a load failure is not the system's own error: " << error.what();
    } catch (const std::runtime_error& error) {  // also std::system_error; never cv::Exception
      EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos) << error.what();
    }
  }
}

TEST(ModelLoadTest, ANetworkWithoutDetectionLayersIsNotAnObjectDetector) {
  TempDir dir;
  writeDarknetPair(dir.path(), "classifier", testing::kTinyClassifierCfg, testing::kTinyYoloFloats);
  try {
    ModelLoader::load(dir / "classifier.cfg", ComputeChoice::cpu);
    ADD_FAILURE() << "loaded";
  } catch (const CropError& error) {
    EXPECT_STREQ(error.what(), "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型");
  }
}

TEST(ModelCompileTest, WritesAPreparedDirectoryThatLoadsAsIs) {
  TempDir dir;
  writeDarknetPair(dir / "source", "tiny");
  const fs::path destination = dir / "Models" / kPrepared;
  ModelLoader::compile(dir / "source/tiny.cfg", destination);

  EXPECT_EQ(readFile(destination / "model.cfg"), testing::kTinyYoloCfg);
  EXPECT_EQ(readFile(destination / "labels.txt"), testing::kTinyYoloLabels);
  const auto model = ModelLoader::load(destination, ComputeChoice::cpu);
  EXPECT_EQ(model->labels.size(), 2u);
  // Nothing left beside it from writing.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Models"), fs::directory_iterator()), 1);
}

TEST(ModelCompileTest, LeavesAnExistingDestinationUntouched) {
  TempDir dir;
  writeFile(dir / kSource, tinyPackage());
  writeFile(dir / "occupied", "mine");
  fs::create_directory(dir / "existing.mlmodelc");
  // Not even read: the source may be missing when the destination exists.
  ModelLoader::compile(dir / "missing.mlmodel", dir / "occupied");
  ModelLoader::compile(dir / kSource, dir / "existing.mlmodelc");
  EXPECT_EQ(readFile(dir / "occupied"), "mine");
  EXPECT_TRUE(fs::is_empty(dir / "existing.mlmodelc"));
}

TEST(ModelCompileTest, ABadSourceLeavesNothingBehind) {
  TempDir dir;
  writeDarknetPair(dir.path(), "classifier", testing::kTinyClassifierCfg);
  EXPECT_THROW(ModelLoader::compile(dir / "classifier.cfg", dir / "out" / kPrepared), CropError);
  EXPECT_FALSE(fs::exists(dir / "out" / kPrepared));
  EXPECT_TRUE(!fs::exists(dir / "out") || fs::is_empty(dir / "out"));
}

// --- darknet descriptions -----------------------------------------------

TEST(DarknetConfigTest, CountsTheWeightsEachLayerNeeds) {
  const struct {
    const char* name;
    std::string cfg;
    std::uint64_t parameters;
    bool detects;
  } cases[] = {
      {"tiny yolo", std::string(testing::kTinyYoloCfg), testing::kTinyYoloFloats, true},
      {"classifier", std::string(testing::kTinyClassifierCfg), testing::kTinyYoloFloats, false},
      // conv 3→8 (8·4 + 8·3·9 = 248); maxpool 16→8; depthwise 8 groups (8 + 8·9 = 80);
      // route -1,-3 concatenates 8 + 8 = 16 channels; 1×1 to 7 (7 + 7·16 = 119).
      {"groups, route and maxpool",
       "[net]\nwidth=32\nheight=32\nchannels=3\n"
       "[convolutional]\nfilters=8\nsize=3\nstride=2\npad=1\nbatch_normalize=1\nactivation=leaky\n"
       "[maxpool]\nsize=2\nstride=1\n"
       "[convolutional]\nfilters=8\ngroups=8\nsize=3\npad=1\nactivation=leaky\n"
       "[route]\nlayers=-1,-3\n"
       "[convolutional]\nfilters=7\nsize=1\nactivation=linear\n"
       "[yolo]\nmask=0\nanchors=1,1\nclasses=2\nnum=1\n",
       248 + 80 + 119, true},
      // conv 3→8 (8 + 8·3 = 32); the second half of its channels (4) to 1×1 → 2 (2 + 2·4 = 10).
      {"route of a channel group",
       "[net]\nchannels=3\n"
       "[convolutional]\nfilters=8\nsize=1\nactivation=leaky\n"
       "[route]\nlayers=-1\ngroups=2\ngroup_id=1\n"
       "[convolutional]\nfilters=2\nsize=1\nactivation=linear\n",
       32 + 10, false},
      {"upsample, shortcut and a connected layer",
       "[net]\nwidth=4\nheight=4\nchannels=2\n"
       "[convolutional]\nfilters=2\nsize=1\nactivation=linear\n"  // 2 + 2·2 = 6
       "[shortcut]\nfrom=-1\n"
       "[upsample]\nstride=2\n"    // 2 × 8 × 8
       "[connected]\noutput=3\n",  // 3 + 128·3 = 387
       6 + 387, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const darknet::NetworkSummary summary = darknet::summarize(row.cfg);
    EXPECT_EQ(summary.parameterCount, row.parameters);
    EXPECT_EQ(summary.detectsObjects, row.detects);
  }
}

TEST(DarknetConfigTest, RefusesDescriptionsOpenCVCannotImport) {
  const struct {
    const char* name;
    std::string cfg;
  } cases[] = {
      {"no [net]", "[convolutional]\nfilters=1\nsize=1\n"},
      {"unknown layer", "[net]\n[lstm]\noutput=4\n"},
      {"route to a later layer", "[net]\n[route]\nlayers=3\n"},
      {"detection layers disagreeing on classes", "[net]\n[yolo]\nclasses=2\n[yolo]\nclasses=3\n"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_THROW(darknet::summarize(row.cfg), std::runtime_error);
  }
}

// --- tar packages -------------------------------------------------------

TEST(TarArchiveTest, ReadsRegularFilesWithTheirPaths) {
  const std::string archive = testing::tarArchive(
      {{"pkg/model.cfg", "cfg"}, {"./labels.txt", std::string(600, 'L')}, {"empty", ""}});
  const auto entries = tar::readEntries(archive);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].path, "pkg/model.cfg");
  EXPECT_EQ(entries[0].data, "cfg");
  EXPECT_EQ(tar::baseName(entries[0].path), "model.cfg");
  EXPECT_EQ(tar::baseName(entries[1].path), "labels.txt");
  EXPECT_EQ(entries[1].data.size(), 600u);  // spans two blocks
  EXPECT_EQ(entries[2].data, "");
}

// Damaged archives are refused, never read out of bounds.
TEST(TarArchiveTest, RefusesDamagedArchives) {
  const std::string good = testing::tarArchive({{"model.cfg", std::string(700, 'c')}});
  std::string badChecksum = good;
  badChecksum[0] = 'M';
  std::string sizePastEnd = good;
  sizePastEnd.resize(512 + 600);  // header says 700 bytes of data
  std::string badSize = good;
  badSize.replace(124, 11, "0000000009x");
  // With a correct checksum, so the size itself is what is refused.
  badSize.replace(148, 8, "        ");
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(badSize[i]);
  std::snprintf(badSize.data() + 148, 8, "%06o", sum);
  const struct {
    const char* name;
    std::string archive;
  } cases[] = {
      {"header checksum", badChecksum},
      {"size past the end", sizePastEnd},
      {"size not octal", badSize},
      {"shorter than a header", good.substr(0, 100)},
      {"not a tar at all", std::string(2048, 'x')},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_THROW(tar::readEntries(row.archive), std::runtime_error);
  }
}

}  // namespace
}  // namespace kestrel
