// SPDX-License-Identifier: MIT
// Locale-free numbers, valid UTF-8, and grayscale patch normalization.
#include <gtest/gtest.h>

#include "core/base/crop_error.h"
#include "core/base/image.h"
#include "core/base/text.h"

namespace kestrel {
namespace {

TEST(TextTest, DecimalsAndUTF8) {
  EXPECT_EQ(decimalText(2.346, 2), "2.35");
  EXPECT_EQ(decimalText(-1.5, 2), "-1.50");
  EXPECT_EQ(decimalText(2147483648.0 / 1e9, 1), "2.1");
  // Each byte that starts no well-formed sequence becomes one U+FFFD.
  EXPECT_EQ(validUTF8("路径/a.jpg"), "路径/a.jpg");
  EXPECT_EQ(validUTF8("a\xE9\x9A\xFF"), "a\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(validUTF8("\xC0\xAF\xED\xA0\x80"),  // an overlong "/" and a surrogate
            "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

GrayPatch ramp(std::int64_t w, std::int64_t h, int (*value)(std::int64_t, std::int64_t)) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w * h));
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      pixels[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(value(x, y));
    }
  }
  return GrayPatch{w, h, Bytes(std::move(pixels))};
}

TEST(GrayPatchTest, NormalizedShrinksToTheShortEdgeByAreaAveraging) {
  const struct {
    std::int64_t w, h, expectedW, expectedH;
  } sizes[] = {{400, 240, 267, 160}, {120, 90, 120, 90}, {161, 161, 160, 160}, {1, 1000, 1, 1000}};
  for (const auto& row : sizes) {
    const GrayPatch out =
        ramp(row.w, row.h, [](auto x, auto y) { return int((x * 7 + y) % 256); }).normalized(160);
    EXPECT_EQ(std::pair(out.width, out.height), std::pair(row.expectedW, row.expectedH));
  }
  // Halving a 0/100 checkerboard averages every 2×2 block to 50.
  const GrayPatch half =
      ramp(640, 320, [](auto x, auto y) { return (x + y) % 2 ? 100 : 0; }).normalized(160);
  for (std::size_t i = 0; i < half.pixels.size(); ++i) ASSERT_EQ(half.pixels.data()[i], 50) << i;
  // Rows stay in order: a bright top half stays on top.
  const GrayPatch rows =
      ramp(320, 320, [](auto, auto y) { return y < 160 ? 200 : 10; }).normalized(160);
  EXPECT_EQ(rows.pixels.data()[0], 200);
  EXPECT_EQ(rows.pixels.data()[159 * 160], 10);
  EXPECT_THROW((GrayPatch{10, 10, Bytes(std::vector<std::uint8_t>(5))}.normalized(160)), CropError);
}

}  // namespace
}  // namespace kestrel
