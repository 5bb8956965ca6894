// SPDX-License-Identifier: MIT
// Properties every planner decision must have, checked over generated
// photos, orientations, block sizes, detections and assessments.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/planning/crop_planner.h"

namespace kestrel {
namespace {

struct Scenario {
  CropPlanner planner;
  JPEGInfo info;
  int orientation = 1;
  std::vector<Person> people;
  bool fixed = false;
  std::optional<SharpnessAssessment> sharpness;
};

class ScenarioGenerator {
 public:
  explicit ScenarioGenerator(std::uint64_t seed) : rng_(seed) {}

  Scenario next(int orientation, std::int64_t mcuWidth, std::int64_t mcuHeight) {
    Scenario s;
    s.orientation = orientation;
    s.info = photo(mcuWidth, mcuHeight);
    s.planner.maximumTrim = chance(0.05) ? 0 : uniform(0.005, 0.15);
    s.planner.minimumLongEdge = pick<std::int64_t>({0, 2000, 4000, 5000});
    s.planner.minimumPixelCount = static_cast<std::int64_t>(uniform(18e6, 22e6));
    s.planner.confidenceThreshold = chance(0.8) ? uniform(0.2, 0.6) : uniform(0.6, 0.95);
    s.people = people();
    s.fixed = chance(0.15);
    if (chance(0.6)) s.sharpness = assessment(s.people);
    return s;
  }

 private:
  double uniform(double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  template <typename T>
  T pick(std::initializer_list<T> values) {
    const auto i = std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng_);
    return *(values.begin() + i);
  }

  // Common camera shapes at 18–60 MP; the common divisor is often odd and
  // sometimes 1 (a side nudged by a pixel), which leaves no window at all.
  JPEGInfo photo(std::int64_t mcuWidth, std::int64_t mcuHeight) {
    const auto [aw, ah] = pick<std::pair<std::int64_t, std::int64_t>>(
        {{3, 2}, {2, 3}, {4, 3}, {3, 4}, {16, 9}, {1, 1}, {5, 4}});
    const double pixels = uniform(18e6, 60e6);
    const auto g = static_cast<std::int64_t>(std::sqrt(pixels / static_cast<double>(aw * ah)));
    JPEGInfo info{aw * g, ah * g, mcuWidth, mcuHeight, 0};
    if (chance(0.05)) ++info.width;
    return info;
  }

  // Others may stand anywhere, partly outside the picture; the main runner
  // stays mostly clear of the edges so that many photos reach the search.
  Person person(bool main) {
    const double h = main ? uniform(0.2, 0.85) : uniform(0.05, 0.6);
    const double w = std::min(h * uniform(0.15, 0.5), 0.6);
    const Box box = main ? Box{uniform(0.02, 0.98 - w), uniform(0.02, 0.98 - h), w, h}
                         : Box{uniform(-0.05, 1.0 - w * 0.5), uniform(-0.05, 1.0 - h * 0.7), w, h};
    return {box.clipped(), main ? uniform(0.5, 1.0) : uniform(0.1, 1.0)};
  }

  // A main runner, sometimes a partner of similar size beside it, and a few
  // others of any size.
  std::vector<Person> people() {
    std::vector<Person> people;
    const int count = std::uniform_int_distribution<>(0, 4)(rng_);
    for (int i = 0; i < count; ++i) {
      people.push_back(person(i == 0));
    }
    if (!people.empty() && chance(0.3)) {
      Box partner = people.front().box;
      partner.x += (chance(0.5) ? 1 : -1) * uniform(0.5, 1.5) * partner.width;
      partner.height *= uniform(0.85, 1.15);
      partner.y = people.front().box.maxY() - partner.height;
      people.push_back({partner.clipped(), uniform(0.3, 1.0)});
    }
    return people;
  }

  SharpnessAssessment assessment(const std::vector<Person>& people) {
    SharpnessAssessment a;
    a.verdict = pick({SharpnessVerdict::sharp, SharpnessVerdict::sharp, SharpnessVerdict::sharp,
                      SharpnessVerdict::soft, SharpnessVerdict::soft, SharpnessVerdict::soft,
                      SharpnessVerdict::blurred, SharpnessVerdict::review});
    a.reason = "生成的判断";
    if (people.empty() || chance(0.2)) return a;
    const Box body = people.front().box;
    a.subject = body;
    const Box face{body.x + body.width * uniform(0.1, 0.6),
                   body.y + body.height * uniform(-0.05, 0.5), body.width * 0.3,
                   body.height * uniform(0.05, 0.35)};
    a.regionKind = chance(0.5) ? "face" : "upperBody";
    a.region = face.clipped();
    if (a.regionKind == "face" && chance(0.5)) a.face = face;
    if (people.size() > 1 && chance(0.5)) {
      a.unsuitableForComposition = std::vector<Box>{people.back().box};
    }
    return a;
  }

  std::mt19937_64 rng_;
};

bool isSoft(const Scenario& s) {
  return s.sharpness && s.sharpness->verdict == SharpnessVerdict::soft;
}

// The people a crop must never cut: those passing the basic filter, with
// their margins, clipped to the picture.
std::vector<Box> paddedFilteredPeople(const Scenario& s) {
  std::vector<Box> boxes;
  const double lowest = std::min(s.planner.confidenceThreshold, 0.25);
  for (const Person& p : s.people) {
    if (p.confidence < lowest || p.box.height < 0.1 || p.box.area() < 0.006) continue;
    const double px = std::max(0.06 * p.box.width, 0.01);
    const double py = std::max(0.04 * p.box.height, 0.012);
    boxes.push_back(p.box.padded(px, py).clipped());
  }
  return boxes;
}

bool wholeOrApart(const Box& window, const Box& b) {
  return window.contains(b, 1e-6) || window.maxX() <= b.x + 1e-9 || b.maxX() - 1e-9 <= window.x ||
         window.maxY() <= b.y + 1e-9 || b.maxY() - 1e-9 <= window.y;
}

void checkCrop(const Scenario& s, const CropDecision& d) {
  const PixelRect& c = *d.crop;
  const JPEGInfo& info = s.info;
  EXPECT_EQ(c.x % info.mcuWidth, 0);
  EXPECT_EQ(c.y % info.mcuHeight, 0);
  EXPECT_GE(c.x, 0);
  EXPECT_GE(c.y, 0);
  EXPECT_LE(c.x + c.width, info.width);
  EXPECT_LE(c.y + c.height, info.height);
  EXPECT_EQ(c.width * info.height, c.height * info.width);

  const double limit = isSoft(s) ? std::min(s.planner.maximumTrim, 0.08) : s.planner.maximumTrim;
  const std::int64_t pixelFloor =
      isSoft(s) ? std::max<std::int64_t>(s.planner.minimumPixelCount, 20'000'000)
                : s.planner.minimumPixelCount;
  EXPECT_LE(1 - static_cast<double>(c.width) / static_cast<double>(info.width), limit + 1e-7);
  EXPECT_GE(std::max(c.width, c.height), s.planner.minimumLongEdge);
  EXPECT_GE(c.width * c.height, pixelFloor);

  const Box raw = c.normalized(info.width, info.height);
  if (d.protectedRegion) {
    EXPECT_TRUE(
        raw.contains(EXIFOrientation::displayToRaw(*d.protectedRegion, s.orientation), 1e-6));
  }
  if (!s.fixed) {
    for (const Box& b : paddedFilteredPeople(s)) {
      EXPECT_TRUE(wholeOrApart(raw, EXIFOrientation::displayToRaw(b, s.orientation)));
    }
  }

  EXPECT_TRUE(d.compositionGain);
  if (s.fixed) {
    EXPECT_FALSE(d.protectedRegion);
    EXPECT_FALSE(d.scene);
    EXPECT_FALSE(d.visualAnchorX);
    EXPECT_FALSE(d.pairStrength);
  } else {
    ASSERT_TRUE(d.scene && d.visualAnchorX && d.pairStrength);
    EXPECT_EQ(*d.scene == "pair", *d.pairStrength >= 0.5);
    EXPECT_GT(*d.compositionGain, 0.012);
  }
}

void checkKeep(const CropDecision& d) {
  EXPECT_FALSE(d.compositionGain);
  EXPECT_FALSE(d.scene);
  EXPECT_FALSE(d.visualAnchorX);
  EXPECT_FALSE(d.pairStrength);
  const bool reachedProtection =
      d.reason == CropReason::nearEdge || d.reason == CropReason::noBetterWindow;
  if (!reachedProtection) {
    EXPECT_FALSE(d.protectedRegion);
  }
  if (d.reason == CropReason::nearEdge) {
    ASSERT_TRUE(d.protectedRegion);
    EXPECT_EQ(*d.protectedRegion, d.protectedRegion->clipped());
  }
  EXPECT_FALSE(d.reason.empty());
}

TEST(CropPlannerProperties, HoldForGeneratedPhotos) {
  constexpr int kScenariosPerCombination = 60;
  constexpr std::array<std::int64_t, 3> kBlockSizes = {8, 16, 32};
  ScenarioGenerator generator(20240917);
  int crops = 0;
  int rotatedCrops = 0;
  int total = 0;
  for (int orientation = 0; orientation <= 9; ++orientation) {
    for (const std::int64_t mcuWidth : kBlockSizes) {
      for (const std::int64_t mcuHeight : kBlockSizes) {
        for (int i = 0; i < kScenariosPerCombination; ++i) {
          const Scenario s = generator.next(orientation, mcuWidth, mcuHeight);
          const CropDecision d =
              s.planner.plan(s.info, s.orientation, s.people, s.fixed, s.sharpness);
          SCOPED_TRACE(testing::Message()
                       << "orientation " << orientation << " image " << s.info.width << "x"
                       << s.info.height << " mcu " << mcuWidth << "x" << mcuHeight << " scenario "
                       << i << ": " << d.reason);
          ++total;
          EXPECT_EQ(d.people, s.people);
          EXPECT_EQ(d, s.planner.plan(s.info, s.orientation, s.people, s.fixed, s.sharpness));
          if (d.crop) {
            ++crops;
            if (EXIFOrientation::swapsAxes(orientation)) ++rotatedCrops;
            checkCrop(s, d);
          } else {
            checkKeep(d);
          }
        }
      }
    }
  }
  // The generator must exercise the crop path often enough to mean something.
  EXPECT_GT(crops, total / 8);
  EXPECT_GT(rotatedCrops, crops / 8);
}

}  // namespace
}  // namespace kestrel
