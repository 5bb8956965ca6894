// SPDX-License-Identifier: MIT
// Focus measures on hand-computed patches, and patch normalization.
#include <gtest/gtest.h>

#include <functional>

#include "core/base/crop_error.h"
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

TEST(GrayPatchTest, NormalizedShrinksToTheShortEdgeAndNeverEnlarges) {
  const struct {
    std::int64_t w, h, expectedW, expectedH;
  } cases[] = {
      {400, 240, 267, 160}, {120, 90, 120, 90}, {160, 1000, 160, 1000},
      {161, 161, 160, 160}, {1, 1000, 1, 1000}, {2000, 320, 1000, 160},
  };
  for (const auto& row : cases) {
    const GrayPatch out =
        makePatch(row.w, row.h, [](auto x, auto y) { return (x * 7 + y) % 256; }).normalized(160);
    EXPECT_EQ(out.width, row.expectedW) << row.w << "×" << row.h;
    EXPECT_EQ(out.height, row.expectedH) << row.w << "×" << row.h;
    EXPECT_EQ(out.pixels.size(), static_cast<std::size_t>(out.width * out.height));
  }
}

TEST(GrayPatchTest, NormalizedAveragesAreas) {
  // Halving a 0/100 checkerboard averages every 2×2 block to 50.
  const GrayPatch half =
      makePatch(640, 320, [](auto x, auto y) { return (x + y) % 2 ? 100 : 0; }).normalized(160);
  ASSERT_EQ(half.width, 320);
  for (std::size_t i = 0; i < half.pixels.size(); ++i) ASSERT_EQ(half.pixels.data()[i], 50) << i;
  // A non-integer factor keeps the mean and stays within the input's range.
  const GrayPatch third =
      makePatch(480, 250, [](auto x, auto) { return x < 240 ? 30 : 90; }).normalized(160);
  ASSERT_EQ(third.width, 307);
  EXPECT_EQ(third.pixels.data()[0], 30);
  EXPECT_EQ(third.pixels.data()[306], 90);
  // Top row first: a bright top half stays on top.
  const GrayPatch rows =
      makePatch(320, 320, [](auto, auto y) { return y < 160 ? 200 : 10; }).normalized(160);
  EXPECT_EQ(rows.pixels.data()[0], 200);
  EXPECT_EQ(rows.pixels.data()[159 * 160], 10);
}

TEST(GrayPatchTest, MalformedPatchCannotBeNormalized) {
  EXPECT_THROW((GrayPatch{10, 10, Bytes(std::vector<std::uint8_t>(5))}.normalized(160)), CropError);
}

}  // namespace
}  // namespace kestrel
