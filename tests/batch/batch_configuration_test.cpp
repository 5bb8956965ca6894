// SPDX-License-Identifier: MIT
// Configuration defaults, validation order and messages, canonical paths.
#include "core/run/batch_configuration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/base/clock.h"
#include "core/base/crop_error.h"
#include "core/run/cancellation_token.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

// The operator's message names the ranges of the parameter table.
const std::string kInvalidParameters =
    "参数无效：并发 1–8、裁剪上限 0–15%、最低像素不低于1800万、小图长边 416–2048、预览 0–200。";

namespace fs = std::filesystem;
using testing::TempDir;

std::string validationMessage(const BatchConfiguration& config) {
  try {
    config.validate();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
  }
  BatchConfiguration config() const { return BatchConfiguration(dir / "in", dir / "out"); }
  TempDir dir;
};

TEST(ProcessingModeTest, RawValuesAreExactAndCaseSensitive) {
  EXPECT_EQ(processingModeFromRaw("auto"), ProcessingMode::automatic);
  EXPECT_EQ(processingModeFromRaw("copy"), ProcessingMode::copy);
  EXPECT_EQ(processingModeFromRaw("fixed"), ProcessingMode::fixed);
  EXPECT_EQ(processingModeFromRaw("Auto"), std::nullopt);
  EXPECT_EQ(processingModeFromRaw(""), std::nullopt);
  for (ProcessingMode mode : allProcessingModes)
    EXPECT_EQ(processingModeFromRaw(rawValue(mode)), mode);
}

TEST(ComputeChoiceTest, RawValuesAreExactAndCaseSensitive) {
  EXPECT_EQ(computeChoiceFromRaw("cpu-gpu"), ComputeChoice::cpuGPU);
  EXPECT_EQ(computeChoiceFromRaw("cpu-neural"), ComputeChoice::cpuNeural);
  EXPECT_EQ(computeChoiceFromRaw("CPU"), std::nullopt);
  EXPECT_EQ(computeChoiceFromRaw("cpuGPU"), std::nullopt);
  ASSERT_EQ(allComputeChoices.size(), 4u);
  EXPECT_EQ(rawValue(allComputeChoices[0]), "all");
}

TEST_F(ConfigurationTest, DefaultsValidate) {
  const BatchConfiguration c = config();
  EXPECT_GE(c.workers, 1);
  EXPECT_LE(c.workers, 8);
  EXPECT_EQ(c.maximumTrim, 0.15);
  EXPECT_EQ(c.minimumLongEdge, 4000);
  EXPECT_EQ(c.minimumPixelCount, 18'000'000);
  EXPECT_EQ(c.confidence, 0.35);
  EXPECT_EQ(c.analysisLongEdge, 1024);
  EXPECT_EQ(c.previewCount, 24);
  EXPECT_EQ(c.mode, ProcessingMode::automatic);
  EXPECT_EQ(c.compute, ComputeChoice::all);
  EXPECT_EQ(c.datasetLabel, "用户提供的 JPEG；设备本地读取");
  EXPECT_FALSE(c.limit || c.model || c.eventName || c.eventDate || c.sourceIdentity);
  EXPECT_EQ(validationMessage(c), "");
}

struct RangeCase {
  const char* name;
  std::function<void(BatchConfiguration&)> change;
  bool valid;
};

TEST_F(ConfigurationTest, ParameterRangesIncludeTheirBoundaries) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const RangeCase cases[] = {
      {"workers 0", [](auto& c) { c.workers = 0; }, false},
      {"workers 9", [](auto& c) { c.workers = 9; }, false},
      {"workers 8", [](auto& c) { c.workers = 8; }, true},
      {"workers 1", [](auto& c) { c.workers = 1; }, true},
      {"trim 0.16", [](auto& c) { c.maximumTrim = 0.16; }, false},
      {"trim -0.01", [](auto& c) { c.maximumTrim = -0.01; }, false},
      {"trim NaN", [nan](auto& c) { c.maximumTrim = nan; }, false},
      {"trim 0.15", [](auto& c) { c.maximumTrim = 0.15; }, true},
      {"trim 0", [](auto& c) { c.maximumTrim = 0; }, true},
      {"pixels 17999999", [](auto& c) { c.minimumPixelCount = 17'999'999; }, false},
      {"pixels 140000001", [](auto& c) { c.minimumPixelCount = 140'000'001; }, false},
      {"pixels 140000000", [](auto& c) { c.minimumPixelCount = 140'000'000; }, true},
      {"long edge -1", [](auto& c) { c.minimumLongEdge = -1; }, false},
      {"long edge 0", [](auto& c) { c.minimumLongEdge = 0; }, true},
      {"confidence 0.19", [](auto& c) { c.confidence = 0.19; }, false},
      {"confidence 0.96", [](auto& c) { c.confidence = 0.96; }, false},
      {"confidence NaN", [nan](auto& c) { c.confidence = nan; }, false},
      {"confidence 0.2", [](auto& c) { c.confidence = 0.2; }, true},
      {"confidence 0.95", [](auto& c) { c.confidence = 0.95; }, true},
      {"analysis 415", [](auto& c) { c.analysisLongEdge = 415; }, false},
      {"analysis 2049", [](auto& c) { c.analysisLongEdge = 2049; }, false},
      {"analysis 2048", [](auto& c) { c.analysisLongEdge = 2048; }, true},
      {"analysis 416", [](auto& c) { c.analysisLongEdge = 416; }, true},
      {"previews 201", [](auto& c) { c.previewCount = 201; }, false},
      {"previews -1", [](auto& c) { c.previewCount = -1; }, false},
      {"previews 0", [](auto& c) { c.previewCount = 0; }, true},
      {"previews 200", [](auto& c) { c.previewCount = 200; }, true},
      {"limit 0", [](auto& c) { c.limit = 0; }, false},
      {"limit 1", [](auto& c) { c.limit = 1; }, true},
  };
  for (const RangeCase& row : cases) {
    BatchConfiguration c = config();
    row.change(c);
    EXPECT_EQ(validationMessage(c), row.valid ? "" : kInvalidParameters) << row.name;
  }
}

TEST_F(ConfigurationTest, ChecksRunInOrder) {
  // Name before parameters: an unnamed date problem is reported first.
  BatchConfiguration c = config();
  c.eventName = "城市半程";
  c.workers = 0;
  EXPECT_EQ(validationMessage(c), "请选择有效的赛事日期。");

  // Parameters before any path check.
  c = BatchConfiguration(dir / "in", dir / "in");
  c.previewCount = 201;
  EXPECT_EQ(validationMessage(c), kInvalidParameters);

  // Independence before existence.
  c = BatchConfiguration(dir / "missing", dir / "missing" / "out");
  EXPECT_EQ(validationMessage(c), messages::outputNotIndependent);
}

TEST_F(ConfigurationTest, OutputMustBeIndependentOfInput) {
  fs::create_directories(dir / "in" / "sub");
  fs::create_directories(dir / "b");
  fs::create_directories(dir / "b2");
  fs::create_directory_symlink(dir / "in", dir / "link-to-in");
  struct Case {
    fs::path input, output;
    bool independent;
  } cases[] = {
      {dir / "in", dir / "in", false},
      {dir / "in", dir / "in" / "sub", false},
      {dir / "in", dir / "in" / "new" / "deeper", false},    // not created yet
      {dir / "in" / "sub", dir / "in", false},               // output is a parent
      {dir / "in", dir / "link-to-in" / "x", false},         // through a symbolic link
      {dir / "in", dir / "out" / ".." / "in" / "x", false},  // through ".."
      {dir / "link-to-in", dir / "in", false},
      {dir / "b", dir / "b2", true},  // a sibling sharing a name prefix
      {dir / "b2", dir / "b", true},
      {dir / "in", dir / "out", true},
  };
  for (const Case& row : cases) {
    EXPECT_EQ(validationMessage(BatchConfiguration(row.input, row.output)),
              row.independent ? "" : std::string(messages::outputNotIndependent))
        << row.input << " → " << row.output;
  }
}

TEST_F(ConfigurationTest, InputMustBeAnExistingFolder) {
  EXPECT_EQ(validationMessage(BatchConfiguration(dir / "nope", dir / "out")),
            std::string(messages::inputMissing) + canonicalURL(dir / "nope").string());
  testing::writeFile(dir / "file.jpg", "x");
  EXPECT_EQ(validationMessage(BatchConfiguration(dir / "file.jpg", dir / "out")),
            std::string(messages::inputMissing) + canonicalURL(dir / "file.jpg").string());
  // An output root that does not exist yet is fine.
  EXPECT_EQ(validationMessage(BatchConfiguration(dir / "in", dir / "new" / "root")), "");
}

TEST(CanonicalURLTest, ResolvesLinksInTheExistingPrefixAndKeepsTheMissingTail) {
  TempDir dir;
  const fs::path real = fs::canonical(dir.path());
  fs::create_directories(real / "a" / "b");
  fs::create_directory_symlink(real / "a", real / "link");
  EXPECT_EQ(canonicalURL(real / "link" / "b"), real / "a" / "b");
  EXPECT_EQ(canonicalURL(real / "link" / "x" / "y"), real / "a" / "x" / "y");
  EXPECT_EQ(canonicalURL(real / "a" / "." / "b" / ".." / "b" / "c"), real / "a" / "b" / "c");
  EXPECT_EQ(canonicalURL(real / "a//b/"), real / "a" / "b");
  // A dangling link is treated as missing: its name is kept.
  fs::create_directory_symlink(real / "gone", real / "dangling");
  EXPECT_EQ(canonicalURL(real / "dangling" / "z"), real / "dangling" / "z");
  EXPECT_EQ(canonicalURL("/"), fs::path("/"));
}

TEST(CanonicalURLTest, RelativePathsAreMadeAbsolute) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  const fs::path result = canonicalURL("x/../y");
  fs::current_path(before);
  EXPECT_EQ(result, fs::canonical(dir.path()) / "y");
}

TEST(CancellationTokenTest, OnlyGoesFromFalseToTrue) {
  const auto token = makeCancellationToken();
  EXPECT_FALSE(token->isCancelled());
  token->cancel();
  token->cancel();
  EXPECT_TRUE(token->isCancelled());
}

TEST(ClockTest, IsMonotonic) {
  const double a = monotonicSeconds();
  const double b = monotonicSeconds();
  EXPECT_LE(a, b);
  EXPECT_GT(a, 0);
}

}  // namespace
}  // namespace kestrel
