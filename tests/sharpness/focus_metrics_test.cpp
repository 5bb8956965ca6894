// SPDX-License-Identifier: MIT
// Focus measures on hand-computed patches.
#include <gtest/gtest.h>

#include <functional>

#include "core/sharpness/sharpness_records.h"

namespace kestrel {
namespace {

GrayPatch makePatch(std::int64_t w, std::int64_t h,
                    const std::function<std::uint8_t(std::int64_t, std::int64_t)>& value) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w * h));
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y * w + x)] = value(x, y);
  }
  return GrayPatch{w, h, Bytes(std::move(pixels))};
}

TEST(FocusMetricsTest, UnusablePatchesMeasureZero) {
  const FocusMetrics zero{};
  EXPECT_EQ(FocusMetrics::measure(makePatch(7, 100, [](auto x, auto) { return x * 30; })), zero);
  EXPECT_EQ(FocusMetrics::measure(makePatch(100, 7, [](auto x, auto) { return x; })), zero);
  EXPECT_EQ(FocusMetrics::measure(GrayPatch{10, 10, Bytes(std::vector<std::uint8_t>(99, 7))}),
            zero);
  EXPECT_EQ(FocusMetrics::measure(makePatch(40, 30, [](auto, auto) { return 128; })), zero);
  // The 1-2-1 smoothing removes a one-pixel checkerboard completely.
  EXPECT_EQ(FocusMetrics::measure(
                makePatch(32, 32, [](auto x, auto y) { return (x + y) % 2 ? 255 : 0; })),
            zero);
}

TEST(FocusMetricsTest, StepEdge) {
  const FocusMetrics m =
      FocusMetrics::measure(makePatch(8, 8, [](auto x, auto) { return x < 4 ? 0 : 100; }));
  EXPECT_DOUBLE_EQ(m.laplacianVariance, 625);
  EXPECT_DOUBLE_EQ(m.gradientEnergy, 781.25);
  EXPECT_DOUBLE_EQ(m.highFrequencyRatio, 0.8);
  EXPECT_NEAR(m.contrast, 39.5285, 1e-4);
}

TEST(FocusMetricsTest, ThinLine) {
  const FocusMetrics m =
      FocusMetrics::measure(makePatch(8, 8, [](auto x, auto) { return x == 4 ? 255 : 0; }));
  EXPECT_NEAR(m.laplacianVariance, 4826.07, 0.01);
  EXPECT_NEAR(m.gradientEnergy, 2286.04, 0.01);
  EXPECT_NEAR(m.highFrequencyRatio, 2.1111, 1e-4);
  EXPECT_NEAR(m.contrast, 45.078, 1e-3);
}

}  // namespace
}  // namespace kestrel
