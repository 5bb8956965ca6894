// SPDX-License-Identifier: MIT
// The planner's decisions for a 24 MP 3:2 photo (worked examples, gates in
// order, window sizes, the rules behind the anchor, the pair and the crowd)
// and its window search (block-grid origins, the strict minimum gain).
#include "core/planning/crop_planner.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/planning/detail/window_search.h"

namespace kestrel {
namespace {

// The configuration defaults and a 24 MP 3:2 photo with 16 × 16 MCUs.
constexpr CropPlanner kDefaults{0.15, 4000, 18'000'000, 0.35};

const std::string kSingle = "结合人脸与全身位置居中，保留头顶与手脚空间";
const std::string kPair = "双人组合居中，保留两人完整边界与上下空间";
const std::string kFixed = "固定裁剪（仅引擎基准）";
const std::string kNoWindow = "原构图更合适，或安全余量/像素不足";

Person runner(double x, double y, double width, double height, double confidence = 0.9) {
  return {{x, y, width, height}, confidence};
}

const Person kRunner = runner(0.45, 0.2, 0.1, 0.6);
const Box kRunnerProtected{0.44, 0.176, 0.12, 0.648};  // with its margins
const Person kLeft = runner(0.30, 0.30, 0.10, 0.50);
const Person kRight = runner(0.55, 0.31, 0.10, 0.49);

// The analyzer's judgement; its region is a patch 0.015 right of kRunner's centre.
SharpnessAssessment judged(SharpnessVerdict verdict, std::optional<Box> subject = {},
                           std::string kind = "upperBody", std::optional<Box> face = {}) {
  return {verdict, kind, Box{0.5, 0.22, 0.03, 0.05}, {}, 0, 0, "判断理由", subject, face, {}};
}

std::array<double, 4> fields(const std::optional<Box>& b) {
  return b ? std::array{b->x, b->y, b->width, b->height} : std::array{-1.0, -1.0, -1.0, -1.0};
}

// One planner call: the reason tells whether the photo is cropped and the scene;
// crop, width, exact gain and a cropped photo's protected region when given.
struct Case {
  const char* name;
  std::vector<Person> people = {};
  std::optional<SharpnessAssessment> sharpness = {};
  std::string reason = {};
  double anchor = 0.5, pairStrength = 0;
  std::optional<PixelRect> crop = {};
  std::optional<double> gain = {};
  std::optional<Box> protectedRegion = {};
  std::int64_t width = 0;
  CropPlanner planner = kDefaults;
  JPEGInfo info = {6000, 4000, 16, 16, 2};
  bool fixed = false;
  int orientation = 1;
};

TEST(CropPlanner, Decisions) {
  using enum SharpnessVerdict;
  const CropPlanner zeroTrim{0, 4000, 18'000'000, 0.35}, longEdge{0.15, 6000, 18'000'000, 0.35};
  const Person small = runner(0.45, 0.2, 0.1, 0.19), atEdge = runner(0.005, 0.2, 0.1, 0.6);
  const Person weak = runner(0.1, 0.5, 0.1, 0.15, 0.3);
  const auto crowdWith = [](Person fourth) {
    return std::vector{kRunner, runner(0.05, 0.5, 0.04, 0.2, 0.3),
                       runner(0.75, 0.5, 0.04, 0.2, 0.3), fourth};
  };
  const auto face = [](Box box) { return judged(sharp, kRunner.box, "upperBody", box); };
  SharpnessAssessment ruledOut = judged(sharp, kLeft.box);
  ruledOut.unsuitableForComposition = std::vector{kRight.box};
  // clang-format off
  const std::vector<Case> cases = {
      {"single runner", {kRunner}, {}, kSingle, 0.5, 0, PixelRect{384, 64, 5220, 3480},
       0.20537011494252874, kRunnerProtected},
      {"two runners abreast", {kLeft, kRight}, {}, kPair, 0.475, 1, PixelRect{240, 256, 5220, 3480},
       0.1727735632183908, Box{0.29, 0.28, 0.37, 0.54}},
      {"bystander near the edge is left out", {kRunner, runner(0.02, 0.5, 0.04, 0.2)}, {}, kSingle,
       0.5, 0, PixelRect{432, 64, 5220, 3480}, 0.188823908045977, kRunnerProtected},
      {.name = "fixed mode ignores the runner", .people = {atEdge}, .reason = kFixed,
       .crop = PixelRect{384, 192, 5220, 3480}, .gain = 0.12085517241379311, .fixed = true},
      // Fixed mode takes the largest window passing the size tests.
      {.name = "a 17 MP floor lets 15 % through", .reason = kFixed, .width = 5100,
       .planner = {0.15, 4000, 17'000'000, 0.35}, .fixed = true},
      {.name = "the long edge floor", .reason = kFixed, .width = 5520,
       .planner = {0.15, 5500, 18'000'000, 0.35}, .fixed = true},
      {.name = "a limit of 0.07 stops at 7 %", .reason = kFixed, .width = 5580,
       .planner = {0.07, 4000, 18'000'000, 0.35}, .fixed = true},
      {.name = "a trim under half a percent", .reason = kNoWindow,
       .planner = {0.004, 4000, 18'000'000, 0.35}, .fixed = true},
      {.name = "on its side: raw y 260 → 264", .reason = kFixed, .crop = PixelRect{288, 264, 5220, 3480},
       .info = {6000, 4000, 16, 8, 2}, .fixed = true, .orientation = 6},
      // The gates in order: each row would also fail every later gate.
      {.name = "zero trim", .sharpness = judged(blurred), .reason = "裁剪幅度为零",
       .planner = zeroTrim, .info = {1000, 800, 8, 8, 0}},
      {.name = "too few pixels", .sharpness = judged(blurred), .reason = "原图不足最低像素要求，不放大",
       .info = {6000, 2999, 16, 16, 2}},
      {.name = "exactly the pixel floor passes", .people = {kRunner}, .reason = kNoWindow,
       .protectedRegion = kRunnerProtected, .info = {6000, 3000, 16, 16, 2}},
      {.name = "blurred", .people = {kRunner}, .sharpness = judged(blurred), .reason = "判断理由",
       .planner = longEdge},
      {.name = "review", .people = {kRunner}, .sharpness = judged(review), .reason = "判断理由"},
      {.name = "long edge floor", .people = {kRunner}, .reason = "保留最低分辨率", .planner = longEdge},
      {"only unreliable people", {runner(0.45, 0.2, 0.1, 0.6, 0.34)}, {}, "未可靠检测到人物"},
      {"small runner before crowd", {small, weak, weak, weak}, {}, "人物较小，保留环境"},
      {"fourth counted towards a crowd", crowdWith(runner(0.85, 0.5, 0.04, 0.2, 0.25)), {},
       "密集多人，保留覆盖"},
      {"confidence under 0.25 not counted", crowdWith(runner(0.85, 0.5, 0.04, 0.2, 0.24)), {}, kSingle},
      {"height under 0.1 not counted", crowdWith(runner(0.85, 0.5, 0.07, 0.099)), {}, kSingle},
      {"area under 0.006 not counted", crowdWith(runner(0.85, 0.5, 0.029, 0.2)), {}, kSingle},
      {"runner fills the height", {runner(0.45, 0.06, 0.1, 0.88)}, {}, "人物已较满，保留手脚空间"},
      {.name = "runner at the edge: clipped protected region", .people = {atEdge},
       .reason = "人物靠近边缘，保留原构图", .protectedRegion = Box{0, 0.176, 0.115, 0.648}},
      // A soft subject is cropped by at most 8 % and only to 20 MP.
      {.name = "soft subject needs 20 MP crops", .people = {kRunner}, .sharpness = judged(soft),
       .reason = kNoWindow, .protectedRegion = kRunnerProtected, .info = {5000, 4000, 16, 16, 2}},
      {.name = "soft subject: trim capped at 8 %", .people = {kRunner},
       .sharpness = judged(soft, kRunner.box), .reason = "主体略软，保守调整；" + kSingle, .width = 5520},
      // The runner's centre is 0.5; a usable face pulls it by 0.6 × its
      // offset, at most 0.015 (0.15 of the width) either way.
      {"face region without face field", {kRunner}, judged(sharp, kRunner.box, "face"), kSingle, 0.509},
      {"upper-body region is no face", {kRunner}, judged(sharp, kRunner.box), kSingle},
      {"small offset pulls 0.6 of it", {kRunner}, face({0.49, 0.22, 0.04, 0.06}), kSingle, 0.506},
      {"out by 0.014 still counts", {kRunner}, face({0.436, 0.22, 0.03, 0.06}), kSingle, 0.491},
      {"out by 0.02 does not", {kRunner}, face({0.43, 0.22, 0.03, 0.06}), kSingle},
      {"centre below 0.42 of the body", {kRunner}, face({0.49, 0.45, 0.04, 0.06}), kSingle},
      {"taller than 0.3 of the body", {kRunner}, face({0.52, 0.22, 0.03, 0.19}), kSingle},
      {"partner ruled out by the analyzer", {kLeft, kRight}, ruledOut, kSingle, 0.35},
      // The analyzer's subject is framed; area ratio 0.6125: u = 0.25, strength
      // 0.15625, and the larger runner's centre, 0.36325 away, pulls by half that.
      {"analyzer's subject, weak pair", {kRunner, runner(0.1, 0.3, 0.0735, 0.5)},
       judged(sharp, Box{0.1, 0.3, 0.0735, 0.5}), kSingle, 0.13675 + 0.36325 * 0.078125, 0.15625},
      {"three abreast: two candidates, no partner", {runner(0.45, 0.3, 0.1, 0.5), kLeft,
       runner(0.6, 0.3, 0.1, 0.5)}, {}, kSingle},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CropDecision d = c.planner.plan(c.info, c.orientation, c.people, c.fixed, c.sharpness);
    EXPECT_EQ(d.reason, c.reason);
    const bool composed = c.reason.ends_with(kSingle) || c.reason == kPair;
    const bool cropped = composed || c.reason == kFixed;
    EXPECT_EQ(d.crop.has_value(), cropped);
    EXPECT_EQ(c.crop ? d.crop : std::nullopt, c.crop);
    EXPECT_EQ(c.width && d.crop ? d.crop->width : 0, c.width);
    EXPECT_NEAR(d.compositionGain.value_or(-1), c.gain.value_or(d.compositionGain.value_or(-1)),
                1e-12);
    for (std::size_t k = 0; k < 4 && (c.protectedRegion || !cropped); ++k) {
      EXPECT_NEAR(fields(d.protectedRegion)[k], fields(c.protectedRegion)[k], 1e-12);
    }
    EXPECT_EQ(d.scene, composed ? std::optional<std::string>(c.reason == kPair ? "pair" : "single")
                                : std::nullopt);
    EXPECT_NEAR(d.visualAnchorX.value_or(-1), composed ? c.anchor : -1, 1e-12);
    EXPECT_NEAR(d.pairStrength.value_or(-1), composed ? c.pairStrength : -1, 1e-12);
  }
}

// A 5400-pixel window on a 6000-pixel axis with 16-pixel blocks.
TEST(AlignedOrigins, OneRowPerRule) {
  const struct {
    const char* name;
    double ideal;
    std::optional<double> lower, upper;
    std::vector<double> boundaries;
    std::vector<std::int64_t> expected;
  } cases[] = {
      {"nearest block to the ideal", 100, {}, {}, {}, {96}},
      {"halves round away from zero", 8, {}, {}, {}, {16}},
      {"blocks on both sides of ideal and boundary", 100, {}, {}, {250}, {96, 112, 240, 256}},
      {"bounds leave no block between them", 100, 33.5, 40, {}, {}},
      {"bounds clamp the ideal; a negative lower bound is 0", -50, -20, {}, {}, {0}},
      {"an upper bound beyond length - crop is cut to it", 1000, {}, 1000, {}, {592}},
      {"a lower bound a hair above a block keeps it", 0, 96.0000001, {}, {}, {96}},
      {"an upper bound a hair below a block keeps it", 500, {}, 95.9999999, {}, {96}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(alignedOrigins(c.ideal, 6000, 5400, 16, c.lower, c.upper, c.boundaries), c.expected)
        << c.name;
  }
}

// The only window of these inputs gains exactly the minimum of 0.012 (anchor
// 0.49678882899345211, found ulp by ulp): a strict improvement is required.
TEST(BestCropWindow, ExactMinimumGainIsNotEnough) {
  WindowSearchInput in{6000,
                       4000,
                       8,
                       8,
                       1,
                       false,
                       0.01,
                       4000,
                       0.01,
                       18'000'000,
                       {0.4, 0.175, 0.1, 0.774},
                       0x1.fcb635f62e18p-2,
                       0,
                       {},
                       {}};
  const CompositionScore scorer{in.subject, in.anchor, 0};
  ASSERT_EQ(scorer.score({8 / 6000.0, 0.01, 0.99, 0.99}) - scorer.baseline(), 0.012);
  EXPECT_FALSE(bestCropWindow(in));
  in.anchor = 0.4967888289934;  // a hair better: the same window now counts
  EXPECT_EQ(bestCropWindow(in).value_or(CropWindow{}).rect(), (PixelRect{8, 40, 5940, 3960}));
}

}  // namespace
}  // namespace kestrel
