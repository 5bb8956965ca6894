// SPDX-License-Identifier: MIT
// Properties every planner decision must have, checked over generated
// photos, orientations, block sizes, detections and assessments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/planning/crop_planner.h"

namespace kestrel {
namespace {

TEST(CropPlannerProperties, HoldForGeneratedPhotos) {
  std::mt19937_64 rng(20240917);
  std::uniform_real_distribution<> unit;
  const auto real = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
  const auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
  const auto index = [&](std::size_t n) { return static_cast<int>(rng() % n); };
  const std::int64_t shapes[][2] = {{3, 2}, {2, 3}, {4, 3}, {3, 4}, {16, 9}, {1, 1}, {5, 4}};
  int crops = 0, rotatedCrops = 0;
  constexpr int kScenarios = 3000;
  for (int i = 0; i < kScenarios; ++i) {
    // 18–60 MP, a side now and then a pixel longer (no window); orientation 0–9.
    const auto* shape = shapes[index(7)];
    const auto g = static_cast<std::int64_t>(
        std::sqrt(real(18e6, 60e6) / static_cast<double>(shape[0] * shape[1])));
    const JPEGInfo info{shape[0] * g + chance(0.05), shape[1] * g, 8 << index(3), 8 << index(3), 0};
    const int orientation = index(10);
    const CropPlanner planner{chance(0.05) ? 0 : real(0.005, 0.15), 1000 * index(6),
                              static_cast<std::int64_t>(real(18e6, 22e6)), real(0.2, 0.8)};
    // A main runner clear of the edges, others anywhere; any may be the subject.
    std::vector<Person> people;
    for (int p = 0, count = index(5); p < count; ++p) {
      const double h = p == 0 ? real(0.2, 0.85) : real(0.05, 0.6);
      const double w = std::min(h * real(0.15, 0.5), 0.6);
      const Box box = p == 0 ? Box{real(0.02, 0.98 - w), real(0.02, 0.98 - h), w, h}
                             : Box{real(-0.05, 1 - w * 0.5), real(-0.05, 1 - h * 0.7), w, h};
      people.push_back({box.clipped(), p == 0 ? real(0.5, 1.0) : real(0.1, 1.0)});
    }
    const bool fixed = chance(0.15);
    std::optional<SharpnessAssessment> sharpness;
    if (chance(0.6)) (sharpness = SharpnessAssessment())->verdict = allSharpnessVerdicts[index(4)];
    if (sharpness && !people.empty()) sharpness->subject = people[index(people.size())].box;

    const CropDecision d = planner.plan(info, orientation, people, fixed, sharpness);
    SCOPED_TRACE(testing::Message() << "scenario " << i << ": " << d.reason);
    EXPECT_EQ(d, planner.plan(info, orientation, people, fixed, sharpness));
    EXPECT_EQ(d.compositionGain.has_value(), d.crop.has_value());
    if (!d.crop) continue;
    ++crops;
    rotatedCrops += EXIFOrientation::swapsAxes(orientation);
    // On the block grid, inside the image, of exactly its aspect ratio.
    const PixelRect& c = *d.crop;
    EXPECT_EQ(c.x % info.mcuWidth + c.y % info.mcuHeight, 0);
    EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.x + c.width <= info.width &&
                c.y + c.height <= info.height);
    EXPECT_EQ(c.width * info.height, c.height * info.width);
    // Within the trim limit and the floors; a soft subject allows 8 % and needs 20 MP.
    const bool soft = sharpness && sharpness->verdict == SharpnessVerdict::soft;
    const double trim = soft ? std::min(planner.maximumTrim, 0.08) : planner.maximumTrim;
    const std::int64_t pixels = planner.minimumPixelCount;
    EXPECT_LE(1 - static_cast<double>(c.width) / static_cast<double>(info.width), trim + 1e-7);
    EXPECT_GE(c.width * c.height, soft ? std::max<std::int64_t>(pixels, 20'000'000) : pixels);
    EXPECT_GE(std::max(c.width, c.height), planner.minimumLongEdge);
    EXPECT_TRUE(fixed || *d.compositionGain > 0.012);
    // Protected region inside; all passing the basic filter kept whole or left out.
    const Box raw = c.normalized(info.width, info.height);
    const auto toRaw = [&](const Box& b) { return EXIFOrientation::displayToRaw(b, orientation); };
    EXPECT_TRUE(!d.protectedRegion || raw.contains(toRaw(*d.protectedRegion), 1e-6));
    for (const Person& p : fixed ? std::vector<Person>{} : people) {
      const Box& q = p.box;
      const Box b = toRaw(
          q.padded(std::max(0.06 * q.width, 0.01), std::max(0.04 * q.height, 0.012)).clipped());
      const bool ignored = p.confidence < std::min(planner.confidenceThreshold, 0.25) ||
                           q.height < 0.1 || q.area() < 0.006;
      EXPECT_TRUE(ignored || raw.contains(b, 1e-6) || raw.maxX() <= b.x + 1e-9 ||
                  b.maxX() - 1e-9 <= raw.x || raw.maxY() <= b.y + 1e-9 || b.maxY() - 1e-9 <= raw.y);
    }
  }
  // The generator must exercise the crop path often enough to mean something.
  EXPECT_GT(crops, kScenarios / 8);
  EXPECT_GT(rotatedCrops, crops / 8);
}

}  // namespace
}  // namespace kestrel
