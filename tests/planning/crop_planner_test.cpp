// SPDX-License-Identifier: MIT
// The planner's decisions for a 24 MP 3:2 photo: worked examples, the gates
// that keep it whole, and the rules behind the anchor, the pair and the crowd.
#include "core/planning/crop_planner.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace kestrel {
namespace {

// The configuration defaults and a 24 MP 3:2 photo with 16 × 16 MCUs.
constexpr CropPlanner kDefaults{0.15, 4000, 18'000'000, 0.35};
constexpr JPEGInfo kPhoto{6000, 4000, 16, 16, 2};

const std::string kSingle = "结合人脸与全身位置居中，保留头顶与手脚空间";
const std::string kPair = "双人组合居中，保留两人完整边界与上下空间";
const std::string kFixed = "固定裁剪（仅引擎基准）";

Person runner(double x, double y, double width, double height, double confidence = 0.9) {
  return {{x, y, width, height}, confidence};
}

const Person kRunner = runner(0.45, 0.2, 0.1, 0.6);
const Box kRunnerProtected{0.44, 0.176, 0.12, 0.648};  // with its margins
const Person kLeft = runner(0.30, 0.30, 0.10, 0.50);
const Person kRight = runner(0.55, 0.31, 0.10, 0.49);
const Person kBeside = runner(0.1, 0.3, 0.0735, 0.5);

SharpnessAssessment assessment(SharpnessVerdict verdict, std::string reason = "测试") {
  SharpnessAssessment a;
  a.verdict = verdict;
  a.reason = std::move(reason);
  return a;
}

// A sharp subject; with region kind "face" the region, offset 0.015 from
// kRunner's centre, is the face.
SharpnessAssessment sharp(Box subject, std::string regionKind = "upperBody",
                          std::optional<Box> face = {},
                          std::optional<std::vector<Box>> unsuitable = {}) {
  SharpnessAssessment a = assessment(SharpnessVerdict::sharp);
  a.subject = subject;
  a.regionKind = std::move(regionKind);
  a.region = Box{0.5, 0.22, 0.03, 0.05};
  a.face = face;
  a.unsuitableForComposition = std::move(unsuitable);
  return a;
}

// Both absent, or both present and equal to within 1e-12 in every coordinate.
template <typename T>
void expectNear(const std::optional<T>& actual, const std::optional<T>& expected) {
  ASSERT_EQ(actual.has_value(), expected.has_value());
  if (!actual) return;
  if constexpr (std::is_same_v<T, Box>) {
    EXPECT_NEAR(actual->x, expected->x, 1e-12);
    EXPECT_NEAR(actual->y, expected->y, 1e-12);
    EXPECT_NEAR(actual->width, expected->width, 1e-12);
    EXPECT_NEAR(actual->height, expected->height, 1e-12);
  } else {
    EXPECT_NEAR(*actual, *expected, 1e-12);
  }
}

// One planner call and its decision. The reason says whether the photo is
// cropped; an automatic crop also has a scene (pair for the pair reason),
// anchor and pair strength. Crop, width, gain and a cropped photo's
// protected region are checked when given; a kept photo's protected region
// always. Gains are the formulas evaluated exactly for the crop.
struct Case {
  const char* name;
  std::vector<Person> people = {};
  std::optional<SharpnessAssessment> sharpness = {};
  std::string reason = {};
  double anchor = 0.5;
  double pairStrength = 0;
  std::optional<PixelRect> crop = {};
  std::optional<double> gain = {};
  std::optional<Box> protectedRegion = {};
  std::int64_t width = 0;
  CropPlanner planner = kDefaults;
  JPEGInfo info = kPhoto;
  bool fixed = false;
};

TEST(CropPlanner, Decisions) {
  const auto blurred = assessment(SharpnessVerdict::blurred, "主体明显模糊");
  const auto soft = assessment(SharpnessVerdict::soft);
  auto softRunner = soft;
  softRunner.subject = kRunner.box;
  const std::string softSingle = "主体略软，保守调整；" + kSingle;
  CropPlanner zeroTrim = kDefaults, longEdge = kDefaults, smallTrim = kDefaults;
  zeroTrim.maximumTrim = 0;
  longEdge.minimumLongEdge = 6000;
  smallTrim.maximumTrim = 0.05;
  const Person small = runner(0.45, 0.2, 0.1, 0.19), crowd = runner(0.1, 0.5, 0.1, 0.15, 0.3);
  const Person unsure = runner(0.45, 0.2, 0.1, 0.6, 0.3);
  const auto crowdWith = [](Person fourth) {
    return std::vector{kRunner, runner(0.05, 0.5, 0.04, 0.2, 0.3),
                       runner(0.75, 0.5, 0.04, 0.2, 0.3), fourth};
  };
  const Box nearlyRight{0.55, 0.31, 0.10, 0.49000000000000005};
  const auto withFace = [](Box face) { return sharp(kRunner.box, "upperBody", face); };
  // clang-format off
  const std::vector<Case> cases = {
      {"single runner", {kRunner}, {}, kSingle, 0.5, 0, PixelRect{384, 64, 5220, 3480},
       0.20537011494252874, kRunnerProtected},
      {"two runners abreast", {kLeft, kRight}, {}, kPair, 0.475, 1, PixelRect{240, 256, 5220, 3480},
       0.1727735632183908, Box{0.29, 0.28, 0.37, 0.54}},
      {"bystander near the edge is left out", {kRunner, runner(0.02, 0.5, 0.04, 0.2)}, {}, kSingle,
       0.5, 0, PixelRect{432, 64, 5220, 3480}, 0.188823908045977, kRunnerProtected},
      {"bystander further in is kept whole", {kRunner, runner(0.05, 0.5, 0.04, 0.2)}, {}, kSingle,
       0.5, 0, PixelRect{240, 64, 5220, 3480}, 0.17502528735632183, kRunnerProtected},
      {.name = "fixed mode centres without composition", .reason = kFixed,
       .crop = PixelRect{384, 192, 5220, 3480}, .gain = 0.12085517241379311, .fixed = true},
      // Fixed mode ignores the runner at the edge but not the soft limit of 8 %.
      {.name = "fixed mode, soft subject", .people = {runner(0.005, 0.2, 0.1, 0.6)},
       .sharpness = soft, .reason = kFixed, .crop = PixelRect{240, 80, 5520, 3680}, .fixed = true},
      // The gates in order: each row would also fail every later gate.
      {.name = "zero trim", .sharpness = blurred, .reason = "裁剪幅度为零", .planner = zeroTrim,
       .info = {1000, 800, 8, 8, 0}},
      {.name = "too few pixels", .sharpness = blurred, .reason = "原图不足最低像素要求，不放大",
       .info = {6000, 2999, 16, 16, 2}},
      {.name = "exactly the pixel floor passes", .people = {kRunner},
       .reason = "原构图更合适，或安全余量/像素不足", .protectedRegion = kRunnerProtected,
       .info = {6000, 3000, 16, 16, 2}},
      {.name = "blurred", .people = {kRunner}, .sharpness = blurred, .reason = "主体明显模糊",
       .planner = longEdge},
      {"review", {kRunner}, assessment(SharpnessVerdict::review, "无法判断"), "无法判断"},
      {.name = "long edge floor", .people = {kRunner}, .reason = "保留最低分辨率",
       .planner = longEdge},
      {"nobody detected", {}, {}, "未可靠检测到人物"},
      {"only unreliable people", {unsure, runner(0.2, 0.2, 0.1, 0.6, 0.34)}, {}, "未可靠检测到人物"},
      {"small runner", {small}, {}, "人物较小，保留环境"},
      {"small runner before crowd", {small, crowd, crowd, crowd}, {}, "人物较小，保留环境"},
      {"fourth counted towards a crowd", crowdWith(runner(0.85, 0.5, 0.04, 0.2, 0.25)), {},
       "密集多人，保留覆盖"},
      {"confidence under 0.25 not counted", crowdWith(runner(0.85, 0.5, 0.04, 0.2, 0.24)), {},
       kSingle},
      {"height under 0.1 not counted", crowdWith(runner(0.85, 0.5, 0.07, 0.099)), {}, kSingle},
      {"area under 0.006 not counted", crowdWith(runner(0.85, 0.5, 0.029, 0.2)), {}, kSingle},
      {"runner fills the height", {runner(0.45, 0.06, 0.1, 0.88)}, {},
       "人物已较满，保留手脚空间"},
      {.name = "runner at the edge: clipped protected region",
       .people = {runner(0.005, 0.2, 0.1, 0.6)},
       .reason = "人物靠近边缘，保留原构图", .protectedRegion = Box{0, 0.176, 0.115, 0.648}},
      {.name = "soft subject needs 20 MP crops", .people = {kRunner}, .sharpness = soft,
       .reason = "原构图更合适，或安全余量/像素不足", .protectedRegion = kRunnerProtected,
       .info = {5000, 4000, 16, 16, 2}},
      {.name = "soft subject: trim capped at 8 %", .people = {kRunner}, .sharpness = softRunner,
       .reason = softSingle, .width = 5520},
      {.name = "soft subject: a smaller trim stays", .people = {kRunner}, .sharpness = softRunner,
       .reason = softSingle, .width = 5700, .planner = smallTrim},
      {"face region without face field", {kRunner}, sharp(kRunner.box, "face"), kSingle, 0.509},
      {"upper-body region is no face", {kRunner}, sharp(kRunner.box), kSingle},
      // The runner's centre is 0.5; a usable face pulls it by 0.6 × its
      // offset, at most 0.015 (0.15 of the width) either way.
      {"small offset pulls 0.6 of it", {kRunner}, withFace({0.49, 0.22, 0.04, 0.06}), kSingle, 0.506},
      {"large offset right is limited", {kRunner}, withFace({0.52, 0.22, 0.03, 0.06}), kSingle, 0.509},
      {"large offset left is limited", {kRunner}, withFace({0.45, 0.22, 0.03, 0.06}), kSingle, 0.491},
      {"out by 0.014 still counts", {kRunner}, withFace({0.436, 0.22, 0.03, 0.06}), kSingle, 0.491},
      {"out by 0.02 does not", {kRunner}, withFace({0.43, 0.22, 0.03, 0.06}), kSingle},
      {"centre below 0.42 of the body", {kRunner}, withFace({0.49, 0.45, 0.04, 0.06}), kSingle},
      {"taller than 0.3 of the body", {kRunner}, withFace({0.52, 0.22, 0.03, 0.19}), kSingle},
      {"empty face", {kRunner}, withFace({0.52, 0.22, 0, 0.06}), kSingle},
      {"equal runners side by side", {kLeft, kRight}, sharp(kLeft.box), kPair, 0.475, 1},
      {"partner ruled out by the analyzer", {kLeft, kRight},
       sharp(kLeft.box, "upperBody", {}, std::vector{kRight.box}), kSingle, 0.35},
      {"empty exclusion list", {kLeft, kRight},
       sharp(kLeft.box, "upperBody", {}, std::vector<Box>{}), kPair, 0.475, 1},
      {"exclusion matches exact boxes only", {kLeft, kRight},
       sharp(kLeft.box, "upperBody", {}, std::vector{nearlyRight}), kPair, 0.475, 1},
      // The analyzer's subject, not the larger runner, is framed. Area ratio
      // 0.6125: u = 0.25, strength 0.15625; the larger runner's centre,
      // 0.36325 away, pulls by half of that.
      {"analyzer's subject", {kRunner, kBeside}, sharp(kBeside.box), kSingle,
       0.13675 + 0.36325 * 0.078125, 0.15625},
      {"three abreast: two candidates, no partner",
       {runner(0.45, 0.3, 0.1, 0.5), runner(0.3, 0.3, 0.1, 0.5), runner(0.6, 0.3, 0.1, 0.5)}, {},
       kSingle},
      // Area ratio 0.6: u = 0.2, strength 0.04 × 2.6 = 0.104; the partner's
      // centre, 0.2375 away, pulls by half of that.
      {"weak pair", {kLeft, runner(0.55, 0.39, 0.075, 0.4)}, sharp(kLeft.box), kSingle,
       0.35 + 0.2375 * 0.052, 0.104},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CropDecision d = c.planner.plan(c.info, 1, c.people, c.fixed, c.sharpness);
    EXPECT_EQ(d.reason, c.reason);
    EXPECT_EQ(d.people, c.people);
    const bool composed = c.reason.ends_with(kSingle) || c.reason == kPair;
    const bool cropped = composed || c.reason == kFixed;
    EXPECT_EQ(d.crop.has_value(), cropped);
    EXPECT_EQ(d.compositionGain.has_value(), cropped);
    EXPECT_EQ(c.crop ? d.crop : std::nullopt, c.crop);
    EXPECT_EQ(c.width && d.crop ? d.crop->width : 0, c.width);
    expectNear(c.gain ? d.compositionGain : std::nullopt, c.gain);
    expectNear(c.protectedRegion || !cropped ? d.protectedRegion : std::nullopt, c.protectedRegion);
    EXPECT_EQ(d.scene, composed ? std::optional<std::string>(c.reason == kPair ? "pair" : "single")
                                : std::nullopt);
    expectNear(d.visualAnchorX, composed ? std::optional(c.anchor) : std::nullopt);
    expectNear(d.pairStrength, composed ? std::optional(c.pairStrength) : std::nullopt);
  }
}

// Screening decides once; the pipeline files by it and the planner's gate
// routes by it. The pixel floor comes first and is inclusive.
TEST(CropPlanner, Screening) {
  using enum Screening;
  const JPEGInfo atFloor{6000, 3000, 16, 16, 2}, belowFloor{5999, 3000, 16, 16, 2};
  const struct {
    JPEGInfo info;
    std::optional<SharpnessVerdict> verdict;
    Screening expected;
  } cases[] = {
      {atFloor, {}, pass},
      {belowFloor, {}, tooFewPixels},
      {belowFloor, SharpnessVerdict::review, tooFewPixels},
      {atFloor, SharpnessVerdict::blurred, blurred},
      {atFloor, SharpnessVerdict::review, review},
      {atFloor, SharpnessVerdict::soft, pass},
      {atFloor, SharpnessVerdict::sharp, pass},
  };
  for (const auto& row : cases) {
    const auto sharpness = row.verdict ? std::optional(assessment(*row.verdict)) : std::nullopt;
    EXPECT_EQ(kDefaults.screen(row.info, sharpness), row.expected);
  }
}

}  // namespace
}  // namespace kestrel
