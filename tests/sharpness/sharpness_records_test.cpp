// SPDX-License-Identifier: MIT
#include "core/sharpness/sharpness_records.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(SharpnessVerdictTest, RawValuesAndLabels) {
  const struct {
    SharpnessVerdict verdict;
    const char* raw;
    const char* label;
  } cases[] = {
      {SharpnessVerdict::sharp, "sharp", "主体清晰"},
      {SharpnessVerdict::soft, "soft", "主体略软"},
      {SharpnessVerdict::blurred, "blurred", "主体明显模糊"},
      {SharpnessVerdict::review, "review", "需复核"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(rawValue(row.verdict), row.raw);
    EXPECT_EQ(sharpnessVerdictFromRaw(row.raw), row.verdict);
    SharpnessAssessment a;
    a.verdict = row.verdict;
    EXPECT_EQ(a.label(), row.label);
  }
  EXPECT_EQ(sharpnessVerdictFromRaw("Sharp"), std::nullopt);
  EXPECT_EQ(sharpnessVerdictFromRaw("blurry"), std::nullopt);
}

TEST(SharpnessAssessmentTest, ReviewMeasuresNothingAndKeepsTheReason) {
  const SharpnessAssessment a = SharpnessAssessment::review("主体细节像素不足，无法可靠判焦");
  EXPECT_EQ(a.verdict, SharpnessVerdict::review);
  EXPECT_EQ(a.regionKind, "unavailable");
  EXPECT_EQ(a.reason, "主体细节像素不足，无法可靠判焦");
  EXPECT_EQ(a.metrics, FocusMetrics{});
  EXPECT_EQ(a.sampleWidth, 0);
  EXPECT_EQ(a.sampleHeight, 0);
  EXPECT_FALSE(a.region || a.subject || a.face || a.unsuitableForComposition);
}

}  // namespace
}  // namespace kestrel
