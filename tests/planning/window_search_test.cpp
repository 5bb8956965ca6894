// SPDX-License-Identifier: MIT
#include "core/planning/window_search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

using ::testing::ElementsAreArray;

struct OriginsCase {
  std::string name;
  double ideal;
  std::int64_t length;
  std::int64_t crop;
  std::int64_t block;
  std::optional<double> lower;
  std::optional<double> upper;
  std::vector<double> boundaries;
  std::vector<std::int64_t> expected;
};

TEST(AlignedOrigins, OneRowPerRule) {
  const std::vector<OriginsCase> cases = {
      {"nearest block to the ideal", 100, 6000, 5400, 16, {}, {}, {}, {96}},
      {"blocks on both sides of ideal and boundary",
       100,
       6000,
       5400,
       16,
       {},
       {},
       {250},
       {96, 112, 240, 256}},
      {"bounds leave no block between them", 100, 6000, 5400, 16, 33.5, 40, {}, {}},
      {"a negative lower bound counts as 0", -50, 6000, 5400, 16, -20, {}, {}, {0}},
      {"an upper bound beyond length - crop is cut to it",
       1000,
       6000,
       5400,
       16,
       {},
       1000,
       {},
       {592}},
      {"halves round away from zero", 8, 6000, 5400, 16, {}, {}, {}, {16}},
      {"a lower bound a hair above a block keeps that block",
       0,
       6000,
       5400,
       16,
       96.0000001,
       {},
       {},
       {96}},
      {"an upper bound a hair below a block keeps that block",
       500,
       6000,
       5400,
       16,
       {},
       95.9999999,
       {},
       {96}},
      {"boundaries outside the range are clamped and merged",
       100,
       6000,
       5400,
       16,
       {},
       {},
       {-30, 7000},
       {0, 96, 112, 592}},
      {"bounds clamp the ideal", 300, 6000, 5400, 32, 128, 192, {}, {192}},
  };
  for (const OriginsCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(alignedOrigins(c.ideal, c.length, c.crop, c.block, c.lower, c.upper, c.boundaries),
                ElementsAreArray(c.expected));
  }
}

struct ScoreCase {
  std::string name;
  Box subject;
  double anchor;
  double pairStrength;
  Box window;
  double expectedScore;
  double expectedBaseline;
};

// Expected values are the formulas evaluated in exact rational arithmetic.
TEST(CompositionScore, MatchesTheFormulas) {
  // clang-format off
  const std::vector<ScoreCase> cases = {
      {"single runner, centred window", {0.45, 0.2, 0.1, 0.6}, 0.5, 0,
       {0.075, 0.03, 0.85, 0.85}, -0.16623529411764706, -0.4032},
      {"full pair wider than the comfortable width", {0.1, 0.3, 0.8, 0.5}, 0.5, 1,
       {0.05, 0.05, 0.9, 0.9}, -0.44, -0.492},
      {"half-strength pair, off-centre anchor", {0.1, 0.3, 0.8, 0.5}, 0.55, 0.5,
       {0.1, 0.02, 0.88, 0.88}, -0.4660818181818182, -0.593},
  };
  // clang-format on
  for (const ScoreCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CompositionScore scorer{c.subject, c.anchor, c.pairStrength};
    EXPECT_NEAR(scorer.score(c.window), c.expectedScore, 1e-12);
    EXPECT_NEAR(scorer.baseline(), c.expectedBaseline, 1e-12);
  }
  const CompositionScore single{{0.45, 0.2, 0.1, 0.6}, 0.5, 0};
  EXPECT_NEAR(single.score({0.075, 0.03, 0.85, 0.85}) - single.baseline(), 0.23696470588235294,
              1e-12);
}

// A 6000 × 4000 photo at the default limits, as the planner hands it over.
WindowSearchInput defaultSearch() {
  WindowSearchInput in;
  in.imageWidth = 6000;
  in.imageHeight = 4000;
  in.mcuWidth = 16;
  in.mcuHeight = 16;
  in.orientation = 1;
  in.maximumTrim = 0.15;
  in.trimLimit = 0.15;
  in.minimumLongEdge = 4000;
  in.pixelFloor = 18'000'000;
  in.subject = {0.45, 0.2, 0.1, 0.6};
  in.anchor = 0.5;
  return in;
}

// Fixed mode takes every candidate, so its result shows the largest window
// size that passes the size tests.
WindowSearchInput fixedSearch() {
  WindowSearchInput in = defaultSearch();
  in.fixed = true;
  in.subject = {0.4, 0.3, 0.2, 0.4};
  return in;
}

struct SizeCase {
  std::string name;
  void (*adjust)(WindowSearchInput&);
  std::optional<std::pair<std::int64_t, std::int64_t>> expectedSize;
};

TEST(BestCropWindow, WindowSizes) {
  const std::vector<SizeCase> cases = {
      {"15 % and 14 % fall below 18 MP", [](WindowSearchInput&) {}, {{5220, 3480}}},
      {"a 17 MP floor lets 15 % through",
       [](WindowSearchInput& in) { in.pixelFloor = 17'000'000; },
       {{5100, 3400}}},
      {"the long edge floor",
       [](WindowSearchInput& in) { in.minimumLongEdge = 5500; },
       {{5520, 3680}}},
      {"a limit of 0.07 stops at 7 %",
       [](WindowSearchInput& in) { in.trimLimit = 0.07; },
       {{5580, 3720}}},
      {"the configured maximum still caps the effective limit",
       [](WindowSearchInput& in) {
         in.maximumTrim = 0.05;
         in.trimLimit = 0.08;
       },
       {{5700, 3800}}},
      {"3:2 at gcd 1000",
       [](WindowSearchInput& in) {
         in.imageWidth = 3000;
         in.imageHeight = 2000;
         in.minimumLongEdge = 0;
         in.pixelFloor = 0;
       },
       {{2550, 1700}}},
      {"gcd 1: every window is the whole image",
       [](WindowSearchInput& in) { in.imageWidth = 6001; }, std::nullopt},
      {"a trim under half a percent is never a crop",
       [](WindowSearchInput& in) { in.trimLimit = 0.004; }, std::nullopt},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    WindowSearchInput in = fixedSearch();
    c.adjust(in);
    const std::optional<CropWindow> window = bestCropWindow(in);
    ASSERT_EQ(window.has_value(), c.expectedSize.has_value());
    if (window) {
      EXPECT_EQ(std::pair(window->width, window->height), *c.expectedSize);
    }
  }
}

// Orientation 6: the upright picture's horizontal centring becomes vertical
// placement on the stored pixels, aligned to mcuHeight (here 8, so the raw y
// of 260 rounds half away to 264).
TEST(BestCropWindow, RotatedPhotoAlignsOnTheStoredGrid) {
  WindowSearchInput in = fixedSearch();
  in.orientation = 6;
  in.mcuWidth = 16;
  in.mcuHeight = 8;
  const std::optional<CropWindow> window = bestCropWindow(in);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->rect(), (PixelRect{288, 264, 5220, 3480}));
}

// Inputs whose only window gains exactly the minimum of 0.012 (found by
// scanning anchors ulp by ulp); a strict improvement is required.
TEST(BestCropWindow, ExactMinimumGainIsNotEnough) {
  WindowSearchInput in = defaultSearch();
  in.mcuWidth = 8;
  in.mcuHeight = 8;
  in.trimLimit = 0.01;
  in.maximumTrim = 0.01;
  in.subject = {0.4, 0.175, 0.1, 0.774};
  in.anchor = 0x1.fcb635f62e18p-2;  // 0.49678882899345211

  const CompositionScore scorer{in.subject, in.anchor, 0};
  const Box onlyWindow{8 / 6000.0, 40 / 4000.0, 5940 / 6000.0, 3960 / 4000.0};
  ASSERT_EQ(scorer.score(onlyWindow) - scorer.baseline(), 0.012);
  EXPECT_FALSE(bestCropWindow(in));

  // A slightly better anchor clears the minimum with the same window.
  in.anchor = 0.4967888289934;
  const std::optional<CropWindow> window = bestCropWindow(in);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->rect(), (PixelRect{8, 40, 5940, 3960}));
  EXPECT_GT(window->gain, 0.012);
}

}  // namespace
}  // namespace kestrel
