// SPDX-License-Identifier: MIT
#include "core/planning/detail/window_search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

TEST(AlignedOrigins, OneRowPerRule) {
  // A 5400-pixel window on a 6000-pixel axis, 16-pixel blocks unless stated.
  const struct {
    const char* name;
    double ideal;
    std::optional<double> lower, upper;
    std::vector<double> boundaries;
    std::vector<std::int64_t> expected;
    std::int64_t block = 16;
  } cases[] = {
      {"nearest block to the ideal", 100, {}, {}, {}, {96}},
      {"blocks on both sides of ideal and boundary", 100, {}, {}, {250}, {96, 112, 240, 256}},
      {"bounds leave no block between them", 100, 33.5, 40, {}, {}},
      {"a negative lower bound counts as 0", -50, -20, {}, {}, {0}},
      {"an upper bound beyond length - crop is cut to it", 1000, {}, 1000, {}, {592}},
      {"halves round away from zero", 8, {}, {}, {}, {16}},
      {"a lower bound a hair above a block keeps it", 0, 96.0000001, {}, {}, {96}},
      {"an upper bound a hair below a block keeps it", 500, {}, 95.9999999, {}, {96}},
      {"outside boundaries are clamped and merged", 100, {}, {}, {-30, 7000}, {0, 96, 112, 592}},
      {"bounds clamp the ideal", 300, 128, 192, {}, {192}, 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(alignedOrigins(c.ideal, 6000, 5400, c.block, c.lower, c.upper, c.boundaries),
                ::testing::ElementsAreArray(c.expected));
  }
}

// clang-format off
const WindowSearchInput kFixedSearch{6000, 4000, 16, 16, /*orientation*/ 1, /*fixed*/ true,
                                     /*maximumTrim*/ 0.15, 4000, /*trimLimit*/ 0.15, 18'000'000,
                                     /*subject*/ {0.4, 0.3, 0.2, 0.4}, /*anchor*/ 0.5, 0, {}, {}};
// clang-format on

// Fixed mode takes every candidate, so its result shows the largest window
// size that passes the size tests.
TEST(BestCropWindow, WindowSizes) {
  const struct {
    const char* name;
    std::int64_t imageWidth, imageHeight, longEdge, pixelFloor;
    double maximumTrim, trimLimit;
    std::int64_t width, height;  // 0: no window
  } cases[] = {
      {"15 % and 14 % fall below 18 MP", 6000, 4000, 4000, 18'000'000, 0.15, 0.15, 5220, 3480},
      {"a 17 MP floor lets 15 % through", 6000, 4000, 4000, 17'000'000, 0.15, 0.15, 5100, 3400},
      {"the long edge floor", 6000, 4000, 5500, 18'000'000, 0.15, 0.15, 5520, 3680},
      {"a limit of 0.07 stops at 7 %", 6000, 4000, 4000, 18'000'000, 0.15, 0.07, 5580, 3720},
      {"the maximum caps the limit", 6000, 4000, 4000, 18'000'000, 0.05, 0.08, 5700, 3800},
      {"3:2 at gcd 1000", 3000, 2000, 0, 0, 0.15, 0.15, 2550, 1700},
      {"gcd 1: every window is the whole image", 6001, 4000, 4000, 18'000'000, 0.15, 0.15, 0, 0},
      {"a trim under half a percent is no crop", 6000, 4000, 4000, 18'000'000, 0.15, 0.004, 0, 0},
  };
  WindowSearchInput in = kFixedSearch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    in.imageWidth = c.imageWidth;
    in.imageHeight = c.imageHeight;
    in.minimumLongEdge = c.longEdge;
    in.pixelFloor = c.pixelFloor;
    in.maximumTrim = c.maximumTrim;
    in.trimLimit = c.trimLimit;
    const std::optional<CropWindow> window = bestCropWindow(in);
    EXPECT_EQ(window ? std::pair(window->width, window->height) : std::pair(0L, 0L),
              std::pair(c.width, c.height));
  }
  // Orientation 6: the upright picture's horizontal centring becomes vertical
  // placement on the stored pixels, aligned to mcuHeight 8 (raw y 260 → 264).
  in = kFixedSearch;
  in.orientation = 6;
  in.mcuHeight = 8;
  EXPECT_EQ(bestCropWindow(in).value_or(CropWindow{}).rect(), (PixelRect{288, 264, 5220, 3480}));
}

// Inputs whose only window gains exactly the minimum of 0.012 (found by
// scanning anchors ulp by ulp); a strict improvement is required.
TEST(BestCropWindow, ExactMinimumGainIsNotEnough) {
  WindowSearchInput in = kFixedSearch;
  in.fixed = false;
  in.mcuWidth = in.mcuHeight = 8;
  in.trimLimit = in.maximumTrim = 0.01;
  in.subject = {0.4, 0.175, 0.1, 0.774};
  in.anchor = 0x1.fcb635f62e18p-2;  // 0.49678882899345211
  const CompositionScore scorer{in.subject, in.anchor, 0};
  ASSERT_EQ(
      scorer.score({8 / 6000.0, 40 / 4000.0, 5940 / 6000.0, 3960 / 4000.0}) - scorer.baseline(),
      0.012);
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
