// SPDX-License-Identifier: MIT
// The digit-line finder on drawn bibs, and the upright view of a patch.
#include "core/bibs/detail/bib_regions.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace kestrel::bibs {
namespace {

constexpr int kDigitHeight = 40;

// A torso: mid-gray shirt, a white bib at (60, 80) 200 × 110, `number` on it.
cv::Mat torsoWith(const std::string& number) {
  cv::Mat image(300, 320, CV_8UC1, cv::Scalar(110));
  cv::rectangle(image, cv::Rect(60, 80, 200, 110), cv::Scalar(235), cv::FILLED);
  const double scale = cv::getFontScaleFromHeight(cv::FONT_HERSHEY_DUPLEX, kDigitHeight, 5);
  cv::putText(image, number, {80, 80 + 55 + kDigitHeight / 2}, cv::FONT_HERSHEY_DUPLEX, scale,
              cv::Scalar(20), 5, cv::LINE_AA);
  return image;
}

Gray grayOf(const cv::Mat& image) {
  return Gray{image.cols, image.rows,
              std::vector<std::uint8_t>(image.data, image.data + image.total())};
}

TEST(BibRegionsTest, FindsTheNumberOnTheBib) {
  const std::vector<DigitLine> lines = digitLines(grayOf(torsoWith("4827")), kDigitHeight);
  ASSERT_FALSE(lines.empty());
  const DigitLine& line = lines.front();
  EXPECT_EQ(line.marks, 4);
  EXPECT_NEAR(line.markHeight, kDigitHeight, kDigitHeight * 0.2);
  EXPECT_GE(line.x, 60);
  EXPECT_LE(line.x + line.width, 260);
  EXPECT_GE(line.y, 80);
  EXPECT_LE(line.y + line.height, 190);
  EXPECT_EQ(line.ink.size(), static_cast<std::size_t>(line.width * line.height));
  const Gray patch = recognitionPatch(line, 32, 0.25);
  EXPECT_NEAR(patch.height, (line.height + line.markHeight) * 32 / line.markHeight, 3);
  EXPECT_NEAR(patch.width, (line.width + line.markHeight * 0.5) * 32 / line.markHeight, 3);
}

// A hand over the last digit: what is left ("482") must not be read as a
// number of its own.
TEST(BibRegionsTest, RefusesANumberCutShortBySomethingBesideIt) {
  cv::Mat image = torsoWith("482");
  const std::vector<DigitLine> whole = digitLines(grayOf(image), kDigitHeight);
  ASSERT_FALSE(whole.empty());
  const DigitLine& line = whole.front();
  cv::rectangle(image, cv::Rect(line.x + line.width + 6, line.y, 26, line.height), cv::Scalar(30),
                cv::FILLED);
  for (const DigitLine& found : digitLines(grayOf(image), kDigitHeight)) {
    EXPECT_FALSE(found.x < line.x + line.width && line.x < found.x + found.width &&
                 found.y < line.y + line.height && line.y < found.y + found.height);
  }
}

// Two digits need clear paper on both sides: a finger beside the "6" of a
// "167" or a line at the edge of the searched region is not clear.
TEST(BibRegionsTest, ClearSidesOnlyWithPaperOnBothSides) {
  cv::Mat image = torsoWith("16");
  const std::vector<DigitLine> lines = digitLines(grayOf(image), kDigitHeight);
  ASSERT_FALSE(lines.empty());
  const DigitLine line = lines.front();
  EXPECT_TRUE(clearSides(grayOf(image), line));
  cv::Mat covered = image.clone();
  cv::rectangle(covered, cv::Rect(line.x + line.width + 4, line.y, 30, line.height),
                cv::Scalar(120), cv::FILLED);
  EXPECT_FALSE(clearSides(grayOf(covered), line));
  const Gray cut = cropped(grayOf(image), line.x - 2, 0, 300, image.rows);
  DigitLine atEdge = line;
  atEdge.x = 2;
  EXPECT_FALSE(clearSides(cut, atEdge));
}

TEST(BibRegionsTest, PlainShirtsAndPaperHoldNoLine) {
  cv::Mat image(300, 320, CV_8UC1, cv::Scalar(110));
  cv::rectangle(image, cv::Rect(60, 80, 200, 110), cv::Scalar(235), cv::FILLED);
  EXPECT_TRUE(digitLines(grayOf(image), kDigitHeight).empty());
}

// Each display pixel of the upright view is the stored pixel the
// orientation's box mapping puts there.
TEST(BibRegionsTest, UprightFollowsTheOrientationMapping) {
  Gray raw{3, 2, {1, 2, 3, 4, 5, 6}};
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const Gray shown = upright(raw, orientation);
    const bool swap = EXIFOrientation::swapsAxes(orientation);
    ASSERT_EQ(shown.width, swap ? 2 : 3);
    ASSERT_EQ(shown.height, swap ? 3 : 2);
    for (int y = 0; y < shown.height; ++y) {
      for (int x = 0; x < shown.width; ++x) {
        const Box at = EXIFOrientation::displayToRaw(
            {(x + 0.5) / shown.width, (y + 0.5) / shown.height, 0, 0}, orientation);
        EXPECT_EQ(shown.at(x, y), raw.at(static_cast<int>(at.x * 3), static_cast<int>(at.y * 2)))
            << "orientation " << orientation << " at " << x << "," << y;
      }
    }
  }
}

}  // namespace
}  // namespace kestrel::bibs
