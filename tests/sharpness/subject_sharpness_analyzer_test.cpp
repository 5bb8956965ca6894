// SPDX-License-Identifier: MIT
// The analyzer's rules: classification, runner selection, the face region, the raw rectangle.
#include "core/sharpness/subject_sharpness_analyzer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace kestrel {
namespace {

using Analyzer = SubjectSharpnessAnalyzer;
using enum SharpnessVerdict;

// Measures {Laplacian variance, gradient energy, ratio, contrast} of a patch 160 × `height`.
TEST(ClassifyTest, OneRowPerRuleAtItsBound) {
  const std::string softFace = "主体细节略软，限制裁剪幅度",
                    lowTexture = "主体纹理或对比度不足，不以低分直接判定失焦";
  const std::tuple<FocusMetrics, std::string_view, std::int64_t, SharpnessVerdict, std::string>
      cases[] = {
          // clang-format off
          {{9, 1, 0.16, 6}, "face", 80, sharp, "主体局部细节通过清晰度检查"},  // every bound inclusive
          {{9, 1, 0.16, 6}, "upperBody", 80, soft, "未定位到可靠人脸，按上半身细节保守处理"},
          {{8.9, 40, 0.3, 30}, "face", 160, soft, softFace},
          {{12, 40, 0.15, 30}, "face", 160, soft, softFace},
          {{2.9, 14.9, 0.2, 30}, "face", 160, blurred, "主体细节的高频与边缘响应均偏低，疑似明显失焦或运动模糊"},
          {{2.9, 15, 0.2, 30}, "face", 160, soft, softFace},  // blurred needs both measures low
          {{3, 14.9, 0.2, 30}, "face", 160, soft, softFace},
          {{12, 40, 0.3, 5.9}, "face", 160, review, lowTexture},
          {{12, 0.9, 0.3, 30}, "face", 160, review, lowTexture},
          {{12, 40, 0.3, 30}, "face", 79, review, lowTexture},
          // clang-format on
      };
  for (const auto& [m, kind, height, verdict, reason] : cases) {
    const SharpnessAssessment a = Analyzer::classify(m, kind, Box{}, 160, height);
    EXPECT_EQ(std::tie(a.verdict, a.reason), std::tie(verdict, reason)) << m.laplacianVariance;
    EXPECT_EQ(a.metrics, m);
  }
}

TEST(RunnerRulesTest, ChoosesTheSubjectAmongComparableRunners) {
  struct Runner {
    Box box;
    SharpnessVerdict verdict;
    double detail;  // Laplacian variance
    double confidence = 0.9;
  };
  // Areas 0.24, 0.21, 0.18, 0.1 (42 % of A) and 0.072 (30 % of A: no companion).
  const Box A{0, 0.1, 0.3, 0.8}, B{0.35, 0.1, 0.3, 0.7}, C{0.7, 0.1, 0.3, 0.6},
      D{0.5, 0.5, 0.2, 0.5}, S{0.5, 0.2, 0.09, 0.8};
  const std::string other = "；选择另一位清晰跑者作为主体",
                    undecided = "无法确认存在清晰的主要跑者，保留副本待复核";
  using Boxes = std::vector<Box>;
  // Runners as assessed, then the subject, verdict, reason, unsuitable boxes, who was asked.
  const std::tuple<std::vector<Runner>, std::optional<Box>, SharpnessVerdict, std::string,
                   std::optional<Boxes>, Boxes>
      cases[] = {
          // clang-format off
          // Nobody reliable: below the confidence, or under 0.2 high.
          {{{A, sharp, 9, 0.34}, {{0.5, 0.1, 0.2, 0.19}, sharp, 9}}, {}, review, "没有可靠主体，清晰度需要人工复核", {}, {}},
          {{{B, sharp, 50}, {A, sharp, 12, 0.35}}, A, sharp, "A", {}, {A}},  // the largest, sharp
          {{{B, sharp, 12}, {A, blurred, 1}}, B, sharp, "B" + other, Boxes{A}, {A, B}},
          {{{A, blurred, 1}, {S, sharp, 50}}, A, blurred, "所有可评估的主要跑者均明显模糊，单独过滤存放", {}, {A}},
          {{{D, blurred, 1}, {C, blurred, 1}, {B, blurred, 1}, {A, blurred, 1}}, A, review, undecided, {}, {A, B, C}},
          {{{A, review, 0}, {B, sharp, 20}, {C, sharp, 20}}, B, sharp, "B" + other, Boxes{A}, {A, B, C}},  // ties by rank
          {{{A, review, 0}, {B, sharp, 20}, {C, sharp, 21}}, C, sharp, "C" + other, Boxes{A}, {A, B, C}},
          {{{A, soft, 5}}, A, soft, "A", Boxes{}, {A}},
          {{{A, blurred, 1}, {B, soft, 5}}, B, soft, "B", Boxes{A}, {A, B}},
          {{{A, review, 0}}, A, review, undecided, {}, {A}},
          // clang-format on
      };
  for (const auto& [runners, subject, verdict, reason, unsuitable, assessed] : cases) {
    std::vector<Person> people;
    for (const Runner& r : runners) people.push_back({r.box, r.confidence});
    Boxes asked;
    const SharpnessAssessment a = Analyzer::assessRunners(people, 0.35, [&](const Person& p) {
      asked.push_back(p.box);
      const Runner& r = *std::find_if(runners.begin(), runners.end(),
                                      [&](const Runner& x) { return x.box == p.box; });
      auto measured = SharpnessAssessment::review(r.box == A ? "A" : r.box == B ? "B" : "C");
      std::tie(measured.verdict, measured.metrics.laplacianVariance, measured.subject) =
          std::tuple(r.verdict, r.detail, r.box);
      return measured;
    });
    EXPECT_EQ(std::tie(a.subject, a.verdict, a.reason), std::tie(subject, verdict, reason));
    EXPECT_EQ(a.unsuitableForComposition, unsuitable) << reason;
    EXPECT_EQ(asked, assessed) << reason;
  }
}

void expectNear(const Box& a, const Box& e) {
  const double off = std::abs(a.x - e.x) + std::abs(a.y - e.y) + std::abs(a.width - e.width);
  EXPECT_LT(off + std::abs(a.height - e.height), 1e-12) << a.x << " " << a.y << " " << a.width;
}

TEST(FaceRegionTest, LargestContainedConfidentFaceDefinesTheRegion) {
  const Box person{0.4, 0.2, 0.2, 0.6};
  // Faces are looked for in the top 0.42 of the box, clipped.
  expectNear(Analyzer::faceSearchBand(person), {0.4, 0.2, 0.2, 0.42 * 0.6});
  expectNear(Analyzer::faceSearchBand({0.9, 0.9, 0.3, 0.5}), {0.9, 0.9, 0.1, 0.1});
  const std::vector<Detection> faces = {
      {{0.45, 0.22, 0.05, 0.05}, 0.9f}, {{0.46, 0.21, 0.08, 0.08}, 0.49f},  // too unsure
      {{0.55, 0.21, 0.09, 0.09}, 0.9f},  // sticks out by 0.04 on the right
      {{0.47, 0.19, 0.06, 0.06}, 0.5f},  // largest usable: 0.01 above the box is tolerated
      {{0.42, 0.77, 0.1, 0.1}, 0.9f},    // a neighbour's face below: out by 0.07 at the bottom
  };
  const Analyzer::Region r = Analyzer::measuredRegion(person, faces);
  EXPECT_EQ(r.kind, "face");
  EXPECT_EQ(r.face, (Box{0.47, 0.19, 0.06, 0.06}));
  expectNear(r.box, {0.47 + 0.08 * 0.06, 0.19 + 0.06 * 0.06, 0.84 * 0.06, 0.88 * 0.06});
  // Without a usable face: the upper body, x 0.32…0.68 and y 0.18…0.40 of the box.
  const Analyzer::Region body = Analyzer::measuredRegion(person, {faces[1], faces[2], faces[4]});
  EXPECT_TRUE(body.kind == "upperBody" && !body.face);
  expectNear(body.box, {0.4 + 0.32 * 0.2, 0.2 + 0.18 * 0.6, 0.36 * 0.2, 0.22 * 0.6});
}

// Origin floored, size ceiled, kept inside; orientation 6 maps the upright top-right corner
// to the stored top-left.
TEST(RawRectangleTest, CoversTheRegionInStoredPixels) {
  // clang-format off
  EXPECT_EQ(Analyzer::rawRectangle({0.5, 0.25, 0.1, 0.05}, 1, 6000, 4000), (PixelRect{3000, 1000, 600, 200}));
  EXPECT_EQ(Analyzer::rawRectangle({0.9, 0.0, 0.1, 0.2}, 6, 4000, 6000), (PixelRect{0, 0, 800, 600}));
  EXPECT_EQ(Analyzer::rawRectangle({0.95, 0.95, 0.1, 0.1}, 1, 1000, 1000), (PixelRect{950, 950, 50, 50}));
  // clang-format on
}

}  // namespace
}  // namespace kestrel
