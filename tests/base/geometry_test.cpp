// SPDX-License-Identifier: MIT
// Box arithmetic and the raw/display orientation mappings.
#include "core/base/geometry.h"

#include <gtest/gtest.h>

#include <random>

namespace kestrel {
namespace {

void expectBoxNear(const Box& actual, const Box& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-12);
  EXPECT_NEAR(actual.y, expected.y, 1e-12);
  EXPECT_NEAR(actual.width, expected.width, 1e-12);
  EXPECT_NEAR(actual.height, expected.height, 1e-12);
}

TEST(BoxTest, ClipContainUnionPad) {
  expectBoxNear(Box{-0.1, 0.5, 0.3, 0.7}.clipped(), {0, 0.5, 0.2, 0.5});
  expectBoxNear(Box{1.2, 0.2, 0.1, 0.1}.clipped(), {1, 0.2, 0, 0.1});  // wholly outside
  const Box outer{0.2, 0.2, 0.5, 0.5};
  EXPECT_TRUE(outer.contains({0.19, 0.3, 0.1, 0.1}, 0.015));
  EXPECT_FALSE(outer.contains({0.19, 0.3, 0.1, 0.1}, 0));
  EXPECT_FALSE(outer.contains({0.6, 0.3, 0.12, 0.1}, 0.015));  // sticks out by 0.02
  expectBoxNear(Box{0.1, 0.5, 0.2, 0.2}.unionWith({0.4, 0.1, 0.1, 0.1}), {0.1, 0.1, 0.4, 0.6});
  expectBoxNear(Box{0.5, 0.5, 0.1, 0.2}.padded(0.01, 0.012), {0.49, 0.488, 0.12, 0.224});
  expectBoxNear(PixelRect{384, 64, 5220, 3480}.normalized(6000, 4000), {0.064, 0.016, 0.87, 0.87});
}

// A small box at the stored top-left corner, and where a viewer shows it.
TEST(EXIFOrientationTest, MapsTheStoredTopLeftCornerWhereTheViewerShowsIt) {
  const Box raw{0, 0, 0.2, 0.1};
  const struct {
    int orientation;
    Box display;
  } cases[] = {
      {1, {0, 0, 0.2, 0.1}},     {2, {0.8, 0, 0.2, 0.1}}, {3, {0.8, 0.9, 0.2, 0.1}},
      {4, {0, 0.9, 0.2, 0.1}},   {5, {0, 0, 0.1, 0.2}},   {6, {0.9, 0, 0.1, 0.2}},
      {7, {0.9, 0.8, 0.1, 0.2}}, {8, {0, 0.8, 0.1, 0.2}}, {9, {0, 0, 0.2, 0.1}},
  };
  for (const auto& row : cases) {
    expectBoxNear(EXIFOrientation::rawToDisplay(raw, row.orientation), row.display);
    expectBoxNear(EXIFOrientation::displayToRaw(row.display, row.orientation), raw);
  }
  // The two mappings undo each other for any box.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const double x = unit(rng), y = unit(rng);
    const Box box{x, y, (1 - x) * unit(rng), (1 - y) * unit(rng)};
    expectBoxNear(
        EXIFOrientation::displayToRaw(EXIFOrientation::rawToDisplay(box, orientation), orientation),
        box);
  }
}

}  // namespace
}  // namespace kestrel
