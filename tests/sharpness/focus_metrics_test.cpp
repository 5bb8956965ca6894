// SPDX-License-Identifier: MIT
// Focus measures on hand-computed patches.
#include <gtest/gtest.h>

#include "core/sharpness/sharpness_records.h"

namespace kestrel {
namespace {

GrayPatch makePatch(std::int64_t w, std::int64_t h, auto value) {
  std::vector<std::uint8_t> pixels;
  for (std::int64_t y = 0; y < h; ++y)
    for (std::int64_t x = 0; x < w; ++x) pixels.push_back(static_cast<std::uint8_t>(value(x, y)));
  return GrayPatch{w, h, Bytes(std::move(pixels))};
}

TEST(FocusMetricsTest, MeasuresHandComputedPatches) {
  // Each patch, and its {Laplacian variance, gradient energy, ratio, contrast}.
  const std::pair<GrayPatch, FocusMetrics> cases[] = {
      // A step 0 → 100 between columns 3 and 4 of 8 × 8.
      {makePatch(8, 8, [](auto x, auto) { return x < 4 ? 0 : 100; }), {625, 781.25, 0.8, 39.5285}},
      // A one-pixel line of 255 in column 4.
      {makePatch(8, 8, [](auto x, auto) { return x == 4 ? 255 : 0; }),
       {4826.07, 2286.04, 2.1111, 45.078}},
      // Measuring zero: under 8 pixels on a side, a wrong byte count, flat, and a one-pixel
      // checkerboard that the 1-2-1 smoothing removes.
      {makePatch(7, 100, [](auto x, auto) { return x * 30; }), {}},
      {makePatch(100, 7, [](auto x, auto) { return x; }), {}},
      {GrayPatch{10, 10, Bytes(std::vector<std::uint8_t>(99, 7))}, {}},
      {makePatch(40, 30, [](auto, auto) { return 128; }), {}},
      {makePatch(32, 32, [](auto x, auto y) { return (x + y) % 2 ? 255 : 0; }), {}},
  };
  for (const auto& [patch, e] : cases) {
    const FocusMetrics m = FocusMetrics::measure(patch);
    EXPECT_NEAR(m.laplacianVariance, e.laplacianVariance, 0.01) << patch.width;
    EXPECT_NEAR(m.gradientEnergy, e.gradientEnergy, 0.01) << patch.width;
    EXPECT_NEAR(m.highFrequencyRatio, e.highFrequencyRatio, 1e-4) << patch.width;
    EXPECT_NEAR(m.contrast, e.contrast, 1e-3) << patch.width;
  }
}

}  // namespace
}  // namespace kestrel
