// SPDX-License-Identifier: MIT
// Box arithmetic and the raw/display orientation mappings.
#include "core/base/geometry.h"

#include <gtest/gtest.h>

#include <random>

#include "core/planning/crop_decision.h"

namespace kestrel {
namespace {

void expectBoxNear(const Box& actual, const Box& expected, double tolerance = 1e-12) {
  EXPECT_NEAR(actual.x, expected.x, tolerance);
  EXPECT_NEAR(actual.y, expected.y, tolerance);
  EXPECT_NEAR(actual.width, expected.width, tolerance);
  EXPECT_NEAR(actual.height, expected.height, tolerance);
}

TEST(BoxTest, ClippedKeepsThePartInsideTheUnitSquare) {
  expectBoxNear(Box{-0.1, 0.5, 0.3, 0.7}.clipped(), {0, 0.5, 0.2, 0.5});
  expectBoxNear(Box{1.2, 0.2, 0.1, 0.1}.clipped(), {1, 0.2, 0, 0.1});
  expectBoxNear(Box{0.2, -0.5, 0.1, 0.2}.clipped(), {0.2, 0, 0.1, 0});
  expectBoxNear(Box{0.1, 0.2, 0.3, 0.4}.clipped(), {0.1, 0.2, 0.3, 0.4});
}

TEST(BoxTest, ContainsAllowsATolerancePerEdge) {
  const Box outer{0.2, 0.2, 0.5, 0.5};
  EXPECT_TRUE(outer.contains(outer, 0));
  EXPECT_TRUE(outer.contains({0.19, 0.3, 0.1, 0.1}, 0.015));
  EXPECT_FALSE(outer.contains({0.19, 0.3, 0.1, 0.1}, 0));
  EXPECT_FALSE(outer.contains({0.6, 0.3, 0.12, 0.1}, 0.015));  // sticks out by 0.02
}

TEST(BoxTest, UnionPaddedAndDerivedValues) {
  expectBoxNear(Box{0.1, 0.5, 0.2, 0.2}.unionWith({0.4, 0.1, 0.1, 0.1}), {0.1, 0.1, 0.4, 0.6});
  expectBoxNear(Box{0.5, 0.5, 0.1, 0.2}.padded(0.01, 0.012), {0.49, 0.488, 0.12, 0.224});
  const Box b{0.2, 0.4, 0.4, 0.2};
  EXPECT_DOUBLE_EQ(b.maxX(), 0.6);
  EXPECT_DOUBLE_EQ(b.centerY(), 0.5);
  EXPECT_DOUBLE_EQ(b.area(), 0.08);
  expectBoxNear(PixelRect{384, 64, 5220, 3480}.normalized(6000, 4000), {0.064, 0.016, 0.87, 0.87});
}

TEST(EXIFOrientationTest, MapsTheStoredTopLeftCornerWhereTheViewerShowsIt) {
  // A small box at the stored top-left corner, and where it appears upright.
  const Box raw{0, 0, 0.2, 0.1};
  const struct {
    int orientation;
    Box display;
  } cases[] = {
      {1, {0, 0, 0.2, 0.1}},     {2, {0.8, 0, 0.2, 0.1}}, {3, {0.8, 0.9, 0.2, 0.1}},
      {4, {0, 0.9, 0.2, 0.1}},   {5, {0, 0, 0.1, 0.2}},   {6, {0.9, 0, 0.1, 0.2}},
      {7, {0.9, 0.8, 0.1, 0.2}}, {8, {0, 0.8, 0.1, 0.2}}, {0, {0, 0, 0.2, 0.1}},
      {9, {0, 0, 0.2, 0.1}},     {-3, {0, 0, 0.2, 0.1}},
  };
  for (const auto& row : cases) {
    expectBoxNear(EXIFOrientation::rawToDisplay(raw, row.orientation), row.display);
    expectBoxNear(EXIFOrientation::displayToRaw(row.display, row.orientation), raw);
  }
}

TEST(EXIFOrientationTest, MappingsAreInversesForEveryOrientation) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int orientation = 0; orientation <= 9; ++orientation) {
    for (int i = 0; i < 200; ++i) {
      const double x = unit(rng), y = unit(rng);
      const Box box{x, y, (1 - x) * unit(rng), (1 - y) * unit(rng)};
      // Floating point makes 1 − (1 − x − w) − w differ from x in the last bits.
      expectBoxNear(EXIFOrientation::displayToRaw(EXIFOrientation::rawToDisplay(box, orientation),
                                                  orientation),
                    box);
      expectBoxNear(EXIFOrientation::rawToDisplay(EXIFOrientation::displayToRaw(box, orientation),
                                                  orientation),
                    box);
    }
  }
}

TEST(EXIFOrientationTest, SquareWindowsKeepTheirSize) {
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const Box d = EXIFOrientation::rawToDisplay({0.1, 0.05, 0.87, 0.87}, orientation);
    EXPECT_EQ(d.width, 0.87);
    EXPECT_EQ(d.height, 0.87);
  }
}

TEST(CropDecisionTest, ChangedExactlyWhenThereIsACrop) {
  CropDecision d;
  d.reason = "原构图更合适，或安全余量/像素不足";
  d.compositionGain = 0.5;
  EXPECT_FALSE(d.changed());
  d.crop = PixelRect{0, 0, 10, 10};
  EXPECT_TRUE(d.changed());
}

}  // namespace
}  // namespace kestrel
