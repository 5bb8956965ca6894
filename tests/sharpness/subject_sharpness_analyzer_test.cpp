// SPDX-License-Identifier: MIT
// The analyzer's rules over injected measures and faces: classification,
// runner selection, face choice and the raw region.
#include "core/sharpness/subject_sharpness_analyzer.h"

#include <gtest/gtest.h>

#include <map>

namespace kestrel {
namespace {

using Analyzer = SubjectSharpnessAnalyzer;

SharpnessAssessment measured(const Box& subject, SharpnessVerdict verdict, double lv,
                             std::string_view kind = "face") {
  SharpnessAssessment a =
      Analyzer::classify(FocusMetrics{lv, 40, 0.3, 30}, kind, Box{0.1, 0.1, 0.05, 0.05}, 160, 170);
  a.verdict = verdict;  // the rules below only read verdict, measures and subject
  a.subject = subject;
  return a;
}

// Assesses each runner by looking its box up in a table.
struct FakeRunners {
  FakeRunners() = default;
  FakeRunners(std::initializer_list<std::pair<Box, SharpnessAssessment>> rows) : table(rows) {}
  std::vector<std::pair<Box, SharpnessAssessment>> table;
  std::vector<Box> asked;
  SharpnessAssessment operator()(const Person& p) {
    asked.push_back(p.box);
    for (const auto& [box, assessment] : table) {
      if (box == p.box) return assessment;
    }
    ADD_FAILURE() << "unexpected runner";
    return {};
  }
};

SharpnessAssessment runRules(const std::vector<Person>& people, FakeRunners& fake,
                             double confidence = 0.35) {
  return Analyzer::assessRunners(people, confidence, [&](const Person& p) { return fake(p); });
}

TEST(ClassifyTest, FirstMatchingRowWins) {
  using enum SharpnessVerdict;
  const std::string_view sharpText = "主体局部细节通过清晰度检查",
                         lowTexture = "主体纹理或对比度不足，不以低分直接判定失焦";
  const struct {
    FocusMetrics m;
    std::string_view kind;
    std::int64_t w, h;
    SharpnessVerdict verdict;
    std::string_view reason;
  } cases[] = {
      {{12, 40, 0.3, 30}, "face", 160, 200, sharp, sharpText},
      {{9, 40, 0.16, 30}, "face", 80, 80, sharp, sharpText},  // every bound inclusive
      {{12, 40, 0.3, 30}, "upperBody", 160, 200, soft, "未定位到可靠人脸，按上半身细节保守处理"},
      {{2.5, 10, 0.25, 20},
       "face",
       160,
       160,
       blurred,
       "主体细节的高频与边缘响应均偏低，疑似明显失焦或运动模糊"},
      {{2.5, 20, 0.125, 20}, "face", 160, 160, soft, "主体细节略软，限制裁剪幅度"},
      {{12, 40, 0.3, 5.9}, "face", 160, 160, review, lowTexture},
      {{12, 0.9, 0.3, 30}, "face", 160, 160, review, lowTexture},
      {{12, 40, 0.3, 30}, "face", 79, 160, review, lowTexture},
  };
  for (const auto& row : cases) {
    const SharpnessAssessment a =
        Analyzer::classify(row.m, row.kind, Box{0.1, 0.2, 0.1, 0.1}, row.w, row.h);
    EXPECT_EQ(a.verdict, row.verdict) << row.reason;
    EXPECT_EQ(a.reason, row.reason);
    EXPECT_EQ(a.metrics, row.m);
  }
}

TEST(RunnerRulesTest, NoReliableCandidateNeedsReview) {
  FakeRunners fake;
  const std::vector<Person> people = {{{0.1, 0.1, 0.2, 0.5}, 0.34}, {{0.5, 0.1, 0.2, 0.19}, 0.9}};
  const SharpnessAssessment a = runRules(people, fake);
  EXPECT_EQ(a, SharpnessAssessment::review("没有可靠主体，清晰度需要人工复核"));
  EXPECT_TRUE(fake.asked.empty());
}

TEST(RunnerRulesTest, ASharpLargestRunnerIsReturnedUnchanged) {
  const Box big{0.1, 0.1, 0.3, 0.8}, other{0.5, 0.1, 0.3, 0.8};
  FakeRunners fake{{{big, measured(big, SharpnessVerdict::sharp, 12)},
                    {other, measured(other, SharpnessVerdict::sharp, 50)}}};
  const SharpnessAssessment a =
      runRules({{other, 0.9}, {big, 0.9}}, fake);  // equal areas: input order
  EXPECT_EQ(a, measured(other, SharpnessVerdict::sharp, 50));
  EXPECT_EQ(fake.asked.size(), 1u);
}

TEST(RunnerRulesTest, ASharpCompanionBecomesTheSubject) {
  const Box largest{0.1, 0.1, 0.3, 0.8}, companion{0.5, 0.2, 0.12, 0.8};  // 40 % of the area
  FakeRunners fake{{{largest, measured(largest, SharpnessVerdict::blurred, 1)},
                    {companion, measured(companion, SharpnessVerdict::sharp, 12)}}};
  const SharpnessAssessment a = runRules({{companion, 0.9}, {largest, 0.9}}, fake);
  EXPECT_EQ(a.subject, companion);
  EXPECT_EQ(a.reason, "主体局部细节通过清晰度检查；选择另一位清晰跑者作为主体");
  EXPECT_EQ(a.unsuitableForComposition, std::vector<Box>{largest});
}

TEST(RunnerRulesTest, SmallRunnersAreNotCompanions) {
  const Box largest{0.1, 0.1, 0.3, 0.8}, small{0.5, 0.2, 0.09, 0.8};  // 30 % of the area
  FakeRunners fake{{{largest, measured(largest, SharpnessVerdict::blurred, 1)}}};
  const SharpnessAssessment a = runRules({{largest, 0.9}, {small, 0.9}}, fake);
  EXPECT_EQ(a.verdict, SharpnessVerdict::blurred);
  EXPECT_EQ(a.reason, "所有可评估的主要跑者均明显模糊，单独过滤存放");
  EXPECT_EQ(a.subject, largest);
  EXPECT_FALSE(a.unsuitableForComposition);
}

TEST(RunnerRulesTest, AThirdUnassessedCompanionPreventsFilteringAsBlurred) {
  const Box a0{0.0, 0.1, 0.2, 0.8}, a1{0.25, 0.1, 0.2, 0.7}, a2{0.5, 0.1, 0.2, 0.6},
      a3{0.75, 0.1, 0.2, 0.5};
  SharpnessAssessment first = measured(a0, SharpnessVerdict::blurred, 1);
  FakeRunners fake{{{a0, first},
                    {a1, measured(a1, SharpnessVerdict::blurred, 2)},
                    {a2, measured(a2, SharpnessVerdict::blurred, 2)}}};
  const SharpnessAssessment a = runRules({{a3, 0.9}, {a2, 0.9}, {a1, 0.9}, {a0, 0.9}}, fake);
  EXPECT_EQ(a.verdict, SharpnessVerdict::review);
  EXPECT_EQ(a.reason, "无法确认存在清晰的主要跑者，保留副本待复核");
  EXPECT_EQ(a.region, first.region);
  EXPECT_EQ(a.metrics, first.metrics);
  EXPECT_EQ(fake.asked, (std::vector<Box>{a0, a1, a2}));  // two companions at most
}

TEST(RunnerRulesTest, AmongSharpCompanionsTheMostDetailedWinsAndTiesKeepRank) {
  const Box a0{0.0, 0.1, 0.3, 0.8}, a1{0.35, 0.1, 0.3, 0.7}, a2{0.7, 0.1, 0.3, 0.6};
  FakeRunners fake{{{a0, measured(a0, SharpnessVerdict::review, 0)},
                    {a1, measured(a1, SharpnessVerdict::sharp, 20)},
                    {a2, measured(a2, SharpnessVerdict::sharp, 20)}}};
  SharpnessAssessment a = runRules({{a0, 0.9}, {a1, 0.9}, {a2, 0.9}}, fake);
  EXPECT_EQ(a.subject, a1);
  EXPECT_EQ(a.unsuitableForComposition, std::vector<Box>{a0});
  fake.table[2].second.metrics.laplacianVariance = 21;
  a = runRules({{a0, 0.9}, {a1, 0.9}, {a2, 0.9}}, fake);
  EXPECT_EQ(a.subject, a2);
}

TEST(RunnerRulesTest, SoftChoiceListsEveryOtherMeasuredRunner) {
  const Box a0{0.0, 0.1, 0.3, 0.8}, a1{0.35, 0.1, 0.3, 0.7};
  // The only runner, soft on its upper body: the list is present and empty.
  FakeRunners alone{{{a0, measured(a0, SharpnessVerdict::soft, 12, "upperBody")}}};
  SharpnessAssessment a = runRules({{a0, 0.9}}, alone);
  EXPECT_EQ(a.verdict, SharpnessVerdict::soft);
  EXPECT_EQ(a.unsuitableForComposition, std::vector<Box>{});
  // A blurred largest runner and a soft companion: the companion, listing the largest.
  FakeRunners pair{{{a0, measured(a0, SharpnessVerdict::blurred, 1)},
                    {a1, measured(a1, SharpnessVerdict::soft, 5)}}};
  a = runRules({{a0, 0.9}, {a1, 0.9}}, pair);
  EXPECT_EQ(a.subject, a1);
  EXPECT_EQ(a.reason, pair.table[1].second.reason);
  EXPECT_EQ(a.unsuitableForComposition, std::vector<Box>{a0});
}

TEST(RunnerRulesTest, ATooSmallRegionAloneEndsUndecided) {
  const Box runner{0.4, 0.3, 0.05, 0.25};
  FakeRunners fake{{{runner, SharpnessAssessment::review("主体细节像素不足，无法可靠判焦")}}};
  const SharpnessAssessment a = runRules({{runner, 0.9}}, fake);
  EXPECT_EQ(a.verdict, SharpnessVerdict::review);
  EXPECT_EQ(a.reason, "无法确认存在清晰的主要跑者，保留副本待复核");
  EXPECT_EQ(a.regionKind, "unavailable");
}

TEST(FaceRegionTest, LargestContainedConfidentFaceDefinesTheRegion) {
  const Box person{0.4, 0.2, 0.2, 0.6};
  const std::vector<Detection> faces = {
      {{0.45, 0.22, 0.05, 0.05}, 0.9f}, {{0.46, 0.21, 0.08, 0.08}, 0.49f},  // too unsure
      {{0.55, 0.21, 0.09, 0.09}, 0.9f},  // sticks out by 0.04 on the right
      {{0.47, 0.19, 0.06, 0.06}, 0.5f},  // largest usable: 0.01 above the box is tolerated
      {{0.42, 0.77, 0.1, 0.1}, 0.9f},    // a neighbour's face below: out by 0.07 at the bottom
  };
  const Analyzer::Region r = Analyzer::measuredRegion(person, faces);
  EXPECT_EQ(r.kind, "face");
  EXPECT_EQ(r.face, (Box{0.47, 0.19, 0.06, 0.06}));
  EXPECT_NEAR(r.box.x, 0.47 + 0.08 * 0.06, 1e-15);
  EXPECT_NEAR(r.box.height, 0.88 * 0.06, 1e-15);

  const Analyzer::Region body = Analyzer::measuredRegion(person, {faces[1], faces[2], faces[4]});
  EXPECT_EQ(body.kind, "upperBody");
  EXPECT_FALSE(body.face);
  EXPECT_NEAR(body.box.x, 0.4 + 0.32 * 0.2, 1e-15);
  EXPECT_NEAR(body.box.y, 0.2 + 0.18 * 0.6, 1e-15);
  EXPECT_NEAR(body.box.width, 0.36 * 0.2, 1e-15);
  EXPECT_NEAR(body.box.height, 0.22 * 0.6, 1e-15);
}

TEST(FaceRegionTest, SearchBandIsTheTopOfThePersonBox) {
  const Box band = Analyzer::faceSearchBand({0.1, 0.2, 0.3, 0.5});
  EXPECT_EQ(band.x, 0.1);
  EXPECT_EQ(band.y, 0.2);
  EXPECT_NEAR(band.width, 0.3, 1e-15);
  EXPECT_NEAR(band.height, 0.42 * 0.5, 1e-15);
  EXPECT_EQ(Analyzer::faceSearchBand({0.9, 0.9, 0.3, 0.5}).maxX(), 1.0);
}

TEST(RawRectangleTest, FloorsTheOriginCeilsTheSizeAndStaysInside) {
  EXPECT_EQ(Analyzer::rawRectangle({0.5, 0.25, 0.1, 0.05}, 1, 6000, 4000),
            (PixelRect{3000, 1000, 600, 200}));
  // Orientation 6: the upright top-right corner is the stored top-left.
  EXPECT_EQ(Analyzer::rawRectangle({0.9, 0.0, 0.1, 0.2}, 6, 4000, 6000),
            (PixelRect{0, 0, 800, 600}));
  EXPECT_EQ(Analyzer::rawRectangle({0.95, 0.95, 0.1, 0.1}, 1, 1000, 1000),
            (PixelRect{950, 950, 50, 50}));
}

}  // namespace
}  // namespace kestrel
