// SPDX-License-Identifier: MIT
// Validation of a run's configuration (event label and date, parameter
// ranges, folders, in that order) and the canonical path form.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "core/base/crop_error.h"
#include "core/run/batch_configuration.h"
#include "core/run/event_label.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// The operator's message names the ranges of the parameter table.
const std::string kInvalidParameters =
    "参数无效：并发 1–8、裁剪上限 0–15%、最低像素不低于1800万、小图长边 416–2048、预览 0–200。";
const std::string kNameMessage = "赛事/分类名称为空或过长，请简化名称。";
const std::string kDateMessage = "请选择有效的赛事日期。";

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
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
  std::string validation(const BatchConfiguration& c) const {
    return messageOf([&] { c.validate(); });
  }
  TempDir dir;
};

TEST_F(ConfigurationTest, ParameterRangesIncludeTheirBoundaries) {
  using Change = std::function<void(BatchConfiguration&)>;
  const auto workers = [](int v) -> Change { return [v](auto& c) { c.workers = v; }; };
  const auto trim = [](double v) -> Change { return [v](auto& c) { c.maximumTrim = v; }; };
  const auto pixels = [](std::int64_t v) -> Change {
    return [v](auto& c) { c.minimumPixelCount = v; };
  };
  const auto edge = [](std::int64_t v) -> Change {
    return [v](auto& c) { c.minimumLongEdge = v; };
  };
  const auto confidence = [](double v) -> Change { return [v](auto& c) { c.confidence = v; }; };
  const auto analysis = [](std::int64_t v) -> Change {
    return [v](auto& c) { c.analysisLongEdge = v; };
  };
  const auto previews = [](std::int64_t v) -> Change {
    return [v](auto& c) { c.previewCount = v; };
  };
  const auto limit = [](std::int64_t v) -> Change { return [v](auto& c) { c.limit = v; }; };
  const double nan = std::nan("");
  const std::pair<Change, bool> cases[] = {
      {[](auto&) {}, true},  // the defaults
      {workers(0), false},          {workers(1), true},         {workers(8), true},
      {workers(9), false},          {trim(-0.01), false},       {trim(0), true},
      {trim(0.15), true},           {trim(0.16), false},        {trim(nan), false},
      {pixels(17'999'999), false},  {pixels(18'000'000), true}, {pixels(140'000'000), true},
      {pixels(140'000'001), false}, {edge(-1), false},          {edge(0), true},
      {confidence(0.19), false},    {confidence(0.2), true},    {confidence(0.95), true},
      {confidence(0.96), false},    {confidence(nan), false},   {analysis(415), false},
      {analysis(416), true},        {analysis(2048), true},     {analysis(2049), false},
      {previews(-1), false},        {previews(0), true},        {previews(200), true},
      {previews(201), false},       {limit(0), false},          {limit(1), true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    BatchConfiguration c = config();
    cases[i].first(c);
    EXPECT_EQ(validation(c), cases[i].second ? "" : kInvalidParameters) << "row " << i;
  }
}

TEST_F(ConfigurationTest, ChecksRunInOrder) {
  // Name and date before parameters: an unnamed date problem is reported first.
  BatchConfiguration c = config();
  c.eventName = "城市半程";
  c.workers = 0;
  EXPECT_EQ(validation(c), kDateMessage);
  // Parameters before any path check.
  c = BatchConfiguration(dir / "in", dir / "in");
  c.previewCount = 201;
  EXPECT_EQ(validation(c), kInvalidParameters);
  // Independence before existence.
  c = BatchConfiguration(dir / "missing", dir / "missing" / "out");
  EXPECT_EQ(validation(c), messages::outputNotIndependent);
}

TEST_F(ConfigurationTest, FoldersMustBeIndependentAndTheInputMustExist) {
  fs::create_directories(dir / "in" / "sub");
  fs::create_directories(dir / "b");
  fs::create_directories(dir / "b2");
  fs::create_directory_symlink(dir / "in", dir / "link-to-in");
  const std::string dependent(messages::outputNotIndependent);
  const struct {
    fs::path input, output;
    std::string message;
  } cases[] = {
      {dir / "in", dir / "in", dependent},
      {dir / "in", dir / "in" / "new" / "deeper", dependent},    // not created yet
      {dir / "in" / "sub", dir / "in", dependent},               // output is a parent
      {dir / "in", dir / "link-to-in" / "x", dependent},         // through a symbolic link
      {dir / "in", dir / "out" / ".." / "in" / "x", dependent},  // through ".."
      {dir / "b", dir / "b2", ""},                               // a sibling sharing a name prefix
      {dir / "b2", dir / "b", ""},
      {dir / "in", dir / "new" / "root", ""},  // an output root yet to be made
      {dir / "nope", dir / "out",
       std::string(messages::inputMissing) + canonicalURL(dir / "nope").string()},
      {dir / "in" / "sub" / "..", dir / "out", ""},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(validation(BatchConfiguration(row.input, row.output)), row.message)
        << row.input << " → " << row.output;
  }
  testing::writeFile(dir / "file.jpg", "x");
  EXPECT_EQ(validation(BatchConfiguration(dir / "file.jpg", dir / "out")),
            std::string(messages::inputMissing) + canonicalURL(dir / "file.jpg").string());
}

TEST(CanonicalURLTest, ResolvesLinksInTheExistingPrefixAndKeepsTheMissingTail) {
  TempDir dir;
  const fs::path real = fs::canonical(dir.path());
  fs::create_directories(real / "a" / "b");
  fs::create_directory_symlink(real / "a", real / "link");
  fs::create_directory_symlink(real / "gone", real / "dangling");
  EXPECT_EQ(canonicalURL(real / "link" / "x" / "y"), real / "a" / "x" / "y");
  EXPECT_EQ(canonicalURL(real / "a" / "." / "b" / ".." / "b" / "c"), real / "a" / "b" / "c");
  EXPECT_EQ(canonicalURL(real / "a//b/"), real / "a" / "b");
  EXPECT_EQ(canonicalURL(real / "dangling" / "z"), real / "dangling" / "z");  // kept as named
  const fs::path before = fs::current_path();
  fs::current_path(real);
  EXPECT_EQ(canonicalURL("link/../y"), real / "y");  // relative: made absolute, lexically
  fs::current_path(before);
}

TEST(EventLabelTest, CleanedNamesAndRealDates) {
  const std::pair<const char*, const char*> cleaned[] = {
      {"a/b:c\\d", "a-b-c-d"},
      {"城市\t半程\u200B", "城市-半程"},  // control (Cc) and format (Cf) characters become "-"
      {"\u3000..大湾区 女子.马拉松-\u2029", "大湾区 女子.马拉松"},
      {"\n\r\u0085x\u00A0", "x"},
  };
  for (const auto& [label, expected] : cleaned) {
    EXPECT_EQ(BatchDirectory::cleanLabel(label), expected) << label;
  }
  std::string chinese53;
  for (int i = 0; i < 53; ++i) chinese53 += "赛";
  const struct {
    std::optional<std::string> label, date;
    std::string message;
  } cases[] = {
      {std::nullopt, std::nullopt, ""},
      {"   ", "garbage", ""},  // a blank name is the unlabelled scheme
      {"///", "20260405", kNameMessage},
      {chinese53, "20260405", ""},  // 159 bytes
      {chinese53 + "赛", "20260405", kNameMessage},
      {"Run", std::nullopt, kDateMessage},
      {"Run", "20000229", ""},
      {"Run", "19000229", kDateMessage},  // 1900 is no leap year
      {"Run", "20260431", kDateMessage},
      {"Run", "2026040５", kDateMessage},  // a full-width digit
  };
  for (const auto& row : cases) {
    EXPECT_EQ(messageOf([&] { BatchDirectory::validate(row.label, row.date); }), row.message)
        << row.label.value_or("<none>") << " / " << row.date.value_or("<none>");
  }
}

}  // namespace
}  // namespace kestrel
