// SPDX-License-Identifier: MIT
// Properties every planner decision must have, checked over generated
// photos, orientations, block sizes, detections and assessments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/planning/crop_planner.h"

namespace kestrel {
namespace {

struct Scenario {
  CropPlanner planner;
  JPEGInfo info;
  int orientation = 1;  // 0 and 9 are out of range: treated as 1
  std::vector<Person> people;
  bool fixed = false;
  std::optional<SharpnessAssessment> sharpness;
};

// Common camera shapes at 18–60 MP, the common divisor often odd and now and
// then 1 (a side a pixel longer), which leaves no window at all. A main
// runner mostly clear of the edges, so that many photos reach the search,
// sometimes a partner of similar size beside it, and others of any size
// anywhere, partly outside the picture.
Scenario generate(std::mt19937_64& rng) {
  const auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<>(lo, hi)(rng);
  };
  const auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
  const auto index = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  Scenario s;
  const std::int64_t shapes[][2] = {{3, 2}, {2, 3}, {4, 3}, {3, 4}, {16, 9}, {1, 1}, {5, 4}};
  const auto* shape = shapes[index(7)];
  const auto g = static_cast<std::int64_t>(
      std::sqrt(uniform(18e6, 60e6) / static_cast<double>(shape[0] * shape[1])));
  const std::int64_t mcuWidth = 8 << index(3), mcuHeight = 8 << index(3);
  s.info = {shape[0] * g + (chance(0.05) ? 1 : 0), shape[1] * g, mcuWidth, mcuHeight, 0};
  s.orientation = static_cast<int>(index(10));
  s.planner.maximumTrim = chance(0.05) ? 0 : uniform(0.005, 0.15);
  s.planner.minimumLongEdge = std::vector<std::int64_t>{0, 2000, 4000, 5000}[index(4)];
  s.planner.minimumPixelCount = static_cast<std::int64_t>(uniform(18e6, 22e6));
  s.planner.confidenceThreshold = chance(0.8) ? uniform(0.2, 0.6) : uniform(0.6, 0.95);
  const std::size_t count = index(5);
  for (std::size_t i = 0; i < count; ++i) {
    const double h = i == 0 ? uniform(0.2, 0.85) : uniform(0.05, 0.6);
    const double w = std::min(h * uniform(0.15, 0.5), 0.6);
    const Box box = i == 0 ? Box{uniform(0.02, 0.98 - w), uniform(0.02, 0.98 - h), w, h}
                           : Box{uniform(-0.05, 1 - w * 0.5), uniform(-0.05, 1 - h * 0.7), w, h};
    s.people.push_back({box.clipped(), i == 0 ? uniform(0.5, 1.0) : uniform(0.1, 1.0)});
  }
  if (count > 0 && chance(0.3)) {
    const Box main = s.people.front().box;
    Box partner = main;
    partner.x += (chance(0.5) ? 1 : -1) * uniform(0.5, 1.5) * main.width;
    partner.height *= uniform(0.85, 1.15);
    partner.y = main.maxY() - partner.height;
    s.people.push_back({partner.clipped(), uniform(0.3, 1.0)});
  }
  s.fixed = chance(0.15);
  if (chance(0.4)) return s;
  SharpnessAssessment& a = s.sharpness.emplace();
  a.verdict = allSharpnessVerdicts[index(4)];
  a.reason = "生成的判断";
  if (s.people.empty() || chance(0.2)) return s;
  const Box body = a.subject.emplace(s.people.front().box);
  const Box face{body.x + body.width * uniform(0.1, 0.6),
                 body.y + body.height * uniform(-0.05, 0.5), body.width * 0.3,
                 body.height * uniform(0.05, 0.35)};
  a.regionKind = chance(0.5) ? "face" : "upperBody";
  a.region = face.clipped();
  if (a.regionKind == "face" && chance(0.5)) a.face = face;
  if (s.people.size() > 1 && chance(0.5)) {
    a.unsuitableForComposition = std::vector<Box>{s.people.back().box};
  }
  return s;
}

void checkCrop(const Scenario& s, const CropDecision& d) {
  const PixelRect& c = *d.crop;
  const JPEGInfo& info = s.info;
  EXPECT_EQ(c.x % info.mcuWidth, 0);
  EXPECT_EQ(c.y % info.mcuHeight, 0);
  EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.x + c.width <= info.width && c.y + c.height <= info.height);
  EXPECT_EQ(c.width * info.height, c.height * info.width);
  // A soft subject allows at most 8 % trim and needs 20 MP.
  const bool soft = s.sharpness && s.sharpness->verdict == SharpnessVerdict::soft;
  const double trim = soft ? std::min(s.planner.maximumTrim, 0.08) : s.planner.maximumTrim;
  const std::int64_t pixels = s.planner.minimumPixelCount;
  EXPECT_LE(1 - static_cast<double>(c.width) / static_cast<double>(info.width), trim + 1e-7);
  EXPECT_GE(std::max(c.width, c.height), s.planner.minimumLongEdge);
  EXPECT_GE(c.width * c.height, soft ? std::max<std::int64_t>(pixels, 20'000'000) : pixels);

  const Box raw = c.normalized(info.width, info.height);
  const auto toRaw = [&](const Box& b) { return EXIFOrientation::displayToRaw(b, s.orientation); };
  EXPECT_TRUE(!d.protectedRegion || raw.contains(toRaw(*d.protectedRegion), 1e-6));
  // Everyone passing the basic filter, with margins, is kept whole or left out.
  const double lowest = std::min(s.planner.confidenceThreshold, 0.25);
  for (const Person& p : s.people) {
    if (s.fixed || p.confidence < lowest || p.box.height < 0.1 || p.box.area() < 0.006) continue;
    const Box b =
        toRaw(p.box.padded(std::max(0.06 * p.box.width, 0.01), std::max(0.04 * p.box.height, 0.012))
                  .clipped());
    EXPECT_TRUE(raw.contains(b, 1e-6) || raw.maxX() <= b.x + 1e-9 || b.maxX() - 1e-9 <= raw.x ||
                raw.maxY() <= b.y + 1e-9 || b.maxY() - 1e-9 <= raw.y);
  }
  ASSERT_TRUE(d.compositionGain);
  if (s.fixed) {
    EXPECT_FALSE(d.protectedRegion || d.scene || d.visualAnchorX || d.pairStrength);
  } else {
    ASSERT_TRUE(d.scene && d.visualAnchorX && d.pairStrength);
    EXPECT_EQ(*d.scene == "pair", *d.pairStrength >= 0.5);
    EXPECT_GT(*d.compositionGain, 0.012);
  }
}

TEST(CropPlannerProperties, HoldForGeneratedPhotos) {
  std::mt19937_64 rng(20240917);
  int crops = 0, rotatedCrops = 0;
  constexpr int kScenarios = 5000;
  for (int i = 0; i < kScenarios; ++i) {
    const Scenario s = generate(rng);
    const CropDecision d = s.planner.plan(s.info, s.orientation, s.people, s.fixed, s.sharpness);
    SCOPED_TRACE(testing::Message() << "scenario " << i << ": " << d.reason);
    EXPECT_EQ(d.people, s.people);
    EXPECT_EQ(d, s.planner.plan(s.info, s.orientation, s.people, s.fixed, s.sharpness));
    if (d.crop) {
      ++crops;
      rotatedCrops += EXIFOrientation::swapsAxes(s.orientation);
      checkCrop(s, d);
      continue;
    }
    EXPECT_FALSE(d.compositionGain || d.scene || d.visualAnchorX || d.pairStrength);
    EXPECT_FALSE(d.reason.empty());
    // Only the edge gate and the search report a protected region; the edge
    // gate's lies inside the picture.
    if (d.reason == CropReason::nearEdge) {
      ASSERT_TRUE(d.protectedRegion);
      EXPECT_EQ(*d.protectedRegion, d.protectedRegion->clipped());
    } else if (d.reason != CropReason::noBetterWindow) {
      EXPECT_FALSE(d.protectedRegion);
    }
  }
  // The generator must exercise the crop path often enough to mean something.
  EXPECT_GT(crops, kScenarios / 8);
  EXPECT_GT(rotatedCrops, crops / 8);
}

}  // namespace
}  // namespace kestrel
