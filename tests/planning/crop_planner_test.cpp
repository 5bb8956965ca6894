// SPDX-License-Identifier: MIT
#include "core/planning/crop_planner.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrel {
namespace {

// The configuration defaults and a 24 MP 3:2 photo with 16 × 16 MCUs.
constexpr CropPlanner kDefaults{0.15, 4000, 18'000'000, 0.35};
constexpr JPEGInfo kPhoto{6000, 4000, 16, 16, 2};

const std::string kSingleReason = "结合人脸与全身位置居中，保留头顶与手脚空间";
const std::string kPairReason = "双人组合居中，保留两人完整边界与上下空间";
const std::string kNoWindowReason = "原构图更合适，或安全余量/像素不足";

Person runner(double x, double y, double width, double height, double confidence = 0.9) {
  return {{x, y, width, height}, confidence};
}

const Person kSingleRunner = runner(0.45, 0.2, 0.1, 0.6);

SharpnessAssessment assessment(SharpnessVerdict verdict, std::optional<Box> subject = {},
                               std::string reason = "测试") {
  SharpnessAssessment a;
  a.verdict = verdict;
  a.regionKind = "upperBody";
  a.reason = std::move(reason);
  a.subject = subject;
  return a;
}

void expectBoxNear(const Box& actual, const Box& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-12);
  EXPECT_NEAR(actual.y, expected.y, 1e-12);
  EXPECT_NEAR(actual.width, expected.width, 1e-12);
  EXPECT_NEAR(actual.height, expected.height, 1e-12);
}

struct WorkedExample {
  std::string name;
  std::vector<Person> people;
  PixelRect crop;
  std::string reason;
  std::string scene;
  double anchor;
  double pairStrength;
  Box protectedRegion;
  double gain;  // the formulas evaluated exactly for this crop
};

TEST(CropPlanner, WorkedExamples) {
  const Box singleProtected{0.44, 0.176, 0.12, 0.648};
  // clang-format off
  const std::vector<WorkedExample> examples = {
      {"single runner", {kSingleRunner},
       {384, 64, 5220, 3480}, kSingleReason, "single", 0.5, 0, singleProtected,
       0.20537011494252874},
      {"two runners abreast", {runner(0.30, 0.30, 0.10, 0.50), runner(0.55, 0.31, 0.10, 0.49)},
       {240, 256, 5220, 3480}, kPairReason, "pair", 0.475, 1, {0.29, 0.28, 0.37, 0.54},
       0.1727735632183908},
      {"bystander near the edge is left out", {kSingleRunner, runner(0.02, 0.5, 0.04, 0.2)},
       {432, 64, 5220, 3480}, kSingleReason, "single", 0.5, 0, singleProtected,
       0.188823908045977},
      {"bystander further in is kept whole", {kSingleRunner, runner(0.05, 0.5, 0.04, 0.2)},
       {240, 64, 5220, 3480}, kSingleReason, "single", 0.5, 0, singleProtected,
       0.17502528735632183},
  };
  // clang-format on
  for (const WorkedExample& e : examples) {
    SCOPED_TRACE(e.name);
    const CropDecision d = kDefaults.plan(kPhoto, 1, e.people, false, std::nullopt);
    ASSERT_TRUE(d.crop);
    EXPECT_EQ(*d.crop, e.crop);
    EXPECT_EQ(d.reason, e.reason);
    EXPECT_EQ(d.scene, e.scene);
    ASSERT_TRUE(d.visualAnchorX);
    EXPECT_NEAR(*d.visualAnchorX, e.anchor, 1e-12);
    EXPECT_EQ(d.pairStrength, e.pairStrength);
    ASSERT_TRUE(d.protectedRegion);
    expectBoxNear(*d.protectedRegion, e.protectedRegion);
    ASSERT_TRUE(d.compositionGain);
    EXPECT_NEAR(*d.compositionGain, e.gain, 1e-12);
    EXPECT_EQ(d.people, e.people);
  }
}

TEST(CropPlanner, FixedModeCropsCentredWithoutComposition) {
  const CropDecision d = kDefaults.plan(kPhoto, 1, {}, true, std::nullopt);
  ASSERT_TRUE(d.crop);
  EXPECT_EQ(*d.crop, (PixelRect{384, 192, 5220, 3480}));
  EXPECT_EQ(d.reason, "固定裁剪（仅引擎基准）");
  ASSERT_TRUE(d.compositionGain);
  EXPECT_NEAR(*d.compositionGain, 0.12085517241379311, 1e-12);
  EXPECT_FALSE(d.scene);
}

TEST(CropPlanner, FixedModeIgnoresPeopleButNotTheSoftLimits) {
  // A runner at the edge would stop an automatic crop; fixed mode never looks.
  const std::vector<Person> people = {runner(0.005, 0.2, 0.1, 0.6)};
  const CropDecision d =
      kDefaults.plan(kPhoto, 1, people, true, assessment(SharpnessVerdict::soft));
  ASSERT_TRUE(d.crop);
  EXPECT_EQ(d.crop->width, 5520);  // 8 %
  EXPECT_EQ(d.reason, "固定裁剪（仅引擎基准）");
  EXPECT_EQ(d.people, people);
}

struct KeepCase {
  std::string name;
  CropPlanner planner;
  JPEGInfo info;
  std::vector<Person> people;
  std::optional<SharpnessAssessment> sharpness;
  std::string reason;
};

// Gates and subject rules that keep the photo whole, with nothing but the
// reason and the people in the decision.
TEST(CropPlanner, KeepsThePhotoWhole) {
  const SharpnessAssessment blurred = assessment(SharpnessVerdict::blurred, {}, "主体明显模糊");
  const SharpnessAssessment review = assessment(SharpnessVerdict::review, {}, "无法判断");
  CropPlanner zeroTrim = kDefaults;
  zeroTrim.maximumTrim = 0;
  CropPlanner longEdge = kDefaults;
  longEdge.minimumLongEdge = 6000;
  const std::vector<Person> small = {runner(0.45, 0.2, 0.1, 0.19)};
  const std::vector<Person> smallInACrowd = {small[0], runner(0.1, 0.5, 0.1, 0.15, 0.3),
                                             runner(0.3, 0.5, 0.1, 0.15, 0.3),
                                             runner(0.7, 0.5, 0.1, 0.15, 0.3)};
  const std::vector<Person> unreliable = {runner(0.45, 0.2, 0.1, 0.6, 0.3),
                                          runner(0.2, 0.2, 0.1, 0.6, 0.34)};
  const SharpnessAssessment soft = assessment(SharpnessVerdict::soft);

  // clang-format off
  const std::vector<KeepCase> cases = {
      {"zero trim comes first", zeroTrim, {1000, 800, 8, 8, 0}, {}, blurred, "裁剪幅度为零"},
      {"too few pixels, before the verdict", kDefaults, {5000, 3000, 16, 16, 2}, {}, blurred,
       "原图不足最低像素要求，不放大"},
      {"blurred gives its own reason", longEdge, kPhoto, {kSingleRunner}, blurred, "主体明显模糊"},
      {"review gives its own reason", kDefaults, kPhoto, {kSingleRunner}, review, "无法判断"},
      {"long edge floor", longEdge, kPhoto, {kSingleRunner}, std::nullopt, "保留最低分辨率"},
      {"nobody detected", kDefaults, kPhoto, {}, std::nullopt, "未可靠检测到人物"},
      {"only unreliable people", kDefaults, kPhoto, unreliable, std::nullopt, "未可靠检测到人物"},
      {"small runner", kDefaults, kPhoto, small, std::nullopt, "人物较小，保留环境"},
      {"small runner before crowd", kDefaults, kPhoto, smallInACrowd, std::nullopt,
       "人物较小，保留环境"},
      {"runner fills the height", kDefaults, kPhoto, {runner(0.45, 0.06, 0.1, 0.88)},
       std::nullopt, "人物已较满，保留手脚空间"},
      {"soft subject needs 20 MP crops", kDefaults, {5000, 4000, 16, 16, 2}, {kSingleRunner},
       soft, kNoWindowReason},
  };
  // clang-format on
  for (const KeepCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CropDecision d = c.planner.plan(c.info, 1, c.people, false, c.sharpness);
    EXPECT_EQ(d.reason, c.reason);
    EXPECT_FALSE(d.changed());
    EXPECT_FALSE(d.compositionGain);
    EXPECT_FALSE(d.scene);
    EXPECT_FALSE(d.visualAnchorX);
    EXPECT_FALSE(d.pairStrength);
    EXPECT_EQ(d.people, c.people);
    // Only a decision that got as far as the protected region reports it.
    EXPECT_EQ(d.protectedRegion.has_value(), c.reason == kNoWindowReason);
  }
}

TEST(CropPlanner, BasicFilterDecidesWhoCountsTowardsACrowd) {
  struct Row {
    std::string name;
    Person fourth;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"counted", runner(0.85, 0.5, 0.04, 0.2, 0.25), "密集多人，保留覆盖"},
      {"confidence under 0.25", runner(0.85, 0.5, 0.04, 0.2, 0.24), kSingleReason},
      {"height under 0.1", runner(0.85, 0.5, 0.07, 0.099), kSingleReason},
      {"area under 0.006", runner(0.85, 0.5, 0.029, 0.2), kSingleReason},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<Person> people = {kSingleRunner, runner(0.05, 0.5, 0.04, 0.2, 0.3),
                                        runner(0.75, 0.5, 0.04, 0.2, 0.3), row.fourth};
    EXPECT_EQ(kDefaults.plan(kPhoto, 1, people, false, std::nullopt).reason, row.reason);
  }
}

TEST(CropPlanner, EdgeGateReportsTheClippedProtectedRegion) {
  const CropDecision d =
      kDefaults.plan(kPhoto, 1, {runner(0.005, 0.2, 0.1, 0.6)}, false, std::nullopt);
  EXPECT_EQ(d.reason, "人物靠近边缘，保留原构图");
  EXPECT_FALSE(d.changed());
  ASSERT_TRUE(d.protectedRegion);
  EXPECT_EQ(d.protectedRegion->x, 0);
  expectBoxNear(*d.protectedRegion, {0, 0.176, 0.115, 0.648});
}

TEST(CropPlanner, SoftSubjectIsCroppedConservatively) {
  struct Row {
    std::string name;
    double maximumTrim;
    std::int64_t expectedWidth;
  };
  const std::vector<Row> rows = {
      {"trim capped at 8 %", 0.15, 5520},
      {"a smaller configured trim stays", 0.05, 5700},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CropPlanner planner = kDefaults;
    planner.maximumTrim = row.maximumTrim;
    const CropDecision d = planner.plan(kPhoto, 1, {kSingleRunner}, false,
                                        assessment(SharpnessVerdict::soft, kSingleRunner.box));
    ASSERT_TRUE(d.crop);
    EXPECT_EQ(d.crop->width, row.expectedWidth);
    EXPECT_GE(d.crop->width * d.crop->height, 20'000'000);
    EXPECT_EQ(d.reason, "主体略软，保守调整；" + kSingleReason);
    EXPECT_EQ(d.scene, "single");
  }
}

TEST(CropPlanner, VisualCenterFollowsAUsableFace) {
  const Box body{0.4, 0.2, 0.2, 0.6};  // centre 0.5; face offset limited to ±0.03
  struct Row {
    std::string name;
    std::optional<Box> face;
    double expected;
  };
  const std::vector<Row> rows = {
      {"no face", std::nullopt, 0.5},
      {"small offset pulls 0.6 of it", Box{0.49, 0.22, 0.04, 0.06}, 0.5 + 0.6 * 0.01},
      {"large offset to the right is limited", Box{0.53, 0.22, 0.04, 0.06}, 0.5 + 0.6 * 0.03},
      {"large offset to the left is limited", Box{0.39, 0.22, 0.04, 0.06}, 0.5 - 0.6 * 0.03},
      {"sticking out within 0.015 still counts", Box{0.386, 0.22, 0.04, 0.06}, 0.5 - 0.6 * 0.03},
      {"outside the body", Box{0.38, 0.22, 0.04, 0.06}, 0.5},
      {"in the lower part of the body", Box{0.49, 0.45, 0.04, 0.06}, 0.5},
      {"taller than 0.3 of the body", Box{0.53, 0.22, 0.04, 0.19}, 0.5},
      {"empty face", Box{0.53, 0.22, 0, 0.06}, 0.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_NEAR(CropPlanner::visualCenter(body, row.face), row.expected, 1e-12);
  }
}

TEST(CropPlanner, FaceComesFromTheFaceOrAFaceRegion) {
  const Box face{0.5, 0.22, 0.03, 0.05};  // pulls the anchor by 0.6 × 0.015
  struct Row {
    std::string name;
    std::optional<Box> faceField;
    std::string regionKind;
    double anchor;
  };
  const std::vector<Row> rows = {
      {"face field", face, "face", 0.509},
      {"face region without face field", std::nullopt, "face", 0.509},
      {"upper-body region is no face", std::nullopt, "upperBody", 0.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharpnessAssessment a = assessment(SharpnessVerdict::sharp, kSingleRunner.box);
    a.regionKind = row.regionKind;
    a.region = face;
    a.face = row.faceField;
    const CropDecision d = kDefaults.plan(kPhoto, 1, {kSingleRunner}, false, a);
    ASSERT_TRUE(d.visualAnchorX);
    EXPECT_NEAR(*d.visualAnchorX, row.anchor, 1e-12);
  }
}

TEST(CropPlanner, PairPartnerRules) {
  const Person left = runner(0.30, 0.30, 0.10, 0.50);
  const Person right = runner(0.55, 0.31, 0.10, 0.49);
  const Box nearlyRight{0.55, 0.31, 0.10, 0.49000000000000005};
  struct Row {
    std::string name;
    std::vector<Person> people;
    std::optional<std::vector<Box>> unsuitable;
    double pairStrength;
    std::string scene;
  };
  const std::vector<Row> rows = {
      {"equal runners side by side", {left, right}, std::nullopt, 1, "pair"},
      {"partner ruled out by the analyzer",
       {left, right},
       std::vector<Box>{right.box},
       0,
       "single"},
      {"empty exclusion list", {left, right}, std::vector<Box>{}, 1, "pair"},
      {"exclusion matches exact boxes only",
       {left, right},
       std::vector<Box>{nearlyRight},
       1,
       "pair"},
      {"three abreast: two candidates, no partner",
       {runner(0.45, 0.3, 0.1, 0.5), runner(0.3, 0.3, 0.1, 0.5), runner(0.6, 0.3, 0.1, 0.5)},
       std::nullopt,
       0,
       "single"},
      // Area ratio 0.6: u = 0.2, strength 0.04 × 2.6 = 0.104.
      {"weak pair", {left, runner(0.55, 0.39, 0.075, 0.4)}, std::nullopt, 0.104, "single"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SharpnessAssessment a = assessment(SharpnessVerdict::sharp, row.people.front().box);
    a.unsuitableForComposition = row.unsuitable;
    const CropDecision d = kDefaults.plan(kPhoto, 1, row.people, false, a);
    ASSERT_TRUE(d.crop) << d.reason;
    ASSERT_TRUE(d.pairStrength);
    EXPECT_NEAR(*d.pairStrength, row.pairStrength, 1e-12);
    EXPECT_EQ(d.scene, row.scene);
    EXPECT_EQ(d.reason, row.scene == "pair" ? kPairReason : kSingleReason);
  }
}

}  // namespace
}  // namespace kestrel
