// SPDX-License-Identifier: MIT
// The person rules over model observations, and the decoding of YOLO
// region rows into observations.
#include <gtest/gtest.h>

#include <array>

#include "core/batch/crop_error.h"
#include "core/detection/person_detector.h"
#include "core/detection/yolo_decode.h"

namespace kestrel {
namespace {

ObjectObservation object(Box box, float confidence, std::vector<ObservationLabel> labels) {
  return {box, confidence, std::move(labels)};
}

constexpr Box kBox{0.125, 0.25, 0.25, 0.25};

TEST(PersonsFromObservationsTest, AppliesTheLabelScoreAndBoxRules) {
  const struct {
    const char* name;
    std::vector<Observation> observations;
    std::vector<Person> expected;
  } cases[] = {
      {"capitalised second label counts",
       {object(kBox, 0.9f, {{"bicycle", 0.9f}, {"Person", 0.5f}})},
       {{kBox, 0.5}}},
      {"label score 0.19 dropped even with a high object score",
       {object(kBox, 0.95f, {{"person", 0.19f}})},
       {}},
      {"label score exactly 0.2 kept",
       {object(kBox, 0.95f, {{"person", 0.2f}})},
       {{kBox, double{0.2f}}}},
      {"confidence is the smaller score",
       {object(kBox, 0.3f, {{"person", 0.8f}})},
       {{kBox, double{0.3f}}}},
      {"only the first person label is looked at",
       {object(kBox, 0.9f, {{"person", 0.1f}, {"PERSON", 0.9f}})},
       {}},
      {"no person label", {object(kBox, 0.9f, {{"dog", 0.9f}})}, {}},
      {"no labels at all", {object(kBox, 0.9f, {})}, {}},
      {"box past the border is clipped",
       {object({-0.25, 0.5, 0.5, 0.75}, 0.9f, {{"person", 0.9f}})},
       {{{0, 0.5, 0.25, 0.5}, double{0.9f}}}},
      {"box wholly outside disappears",
       {object({1.2, 0.2, 0.1, 0.1}, 0.9f, {{"person", 0.9f}})},
       {}},
      {"box without height disappears", {object({0.2, 0.2, 0.1, 0}, 0.9f, {{"person", 0.9f}})}, {}},
      {"order is the model's, not by score",
       {object({0.125, 0.125, 0.125, 0.125}, 0.4f, {{"person", 0.4f}}),
        object({0.5, 0.5, 0.25, 0.25}, 0.9f, {{"person", 0.9f}})},
       {{{0.125, 0.125, 0.125, 0.125}, double{0.4f}}, {{0.5, 0.5, 0.25, 0.25}, double{0.9f}}}},
      {"empty list is no error", {}, {}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(personsFromObservations(row.observations), row.expected);
  }
}

TEST(PersonsFromObservationsTest, RefusesResultsThatAreNotObjectDetections) {
  const std::optional<std::vector<Observation>> cases[] = {
      std::nullopt,
      std::vector<Observation>{ClassificationObservation{"person", 0.9f}},
      std::vector<Observation>{object(kBox, 0.9f, {{"person", 0.9f}}),
                               ClassificationObservation{"runner", 0.8f}},
  };
  for (const auto& results : cases) {
    try {
      personsFromObservations(results);
      ADD_FAILURE() << "no error";
    } catch (const CropError& error) {
      EXPECT_STREQ(error.what(), "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型");
    }
  }
}

TEST(LetterboxTest, InputFollowsTheImageAspectAndKeepsItsRatio) {
  const struct {
    int width, height;
    yolo::Letterbox expected;
  } cases[] = {
      {1024, 683, {416, 288, 0, 5, 416, 277}},   // 3:2 landscape
      {683, 1024, {288, 416, 5, 0, 277, 416}},   // portrait
      {1024, 836, {416, 288, 31, 0, 353, 288}},  // 1.22:1 still landscape
      {1024, 860, {416, 416, 0, 33, 416, 349}},  // 1.19:1 square-ish
      {416, 416, {416, 416, 0, 0, 416, 416}},    // the warm-up image
      {4000, 10, {416, 288, 0, 143, 416, 1}},    // never zero rows
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height));
    EXPECT_EQ(yolo::letterboxFor(row.width, row.height), row.expected);
  }
}

// Rows of [cx, cy, w, h, objectness, person, dog] relative to the input.
using Row = std::array<float, 7>;
const std::vector<std::string> kLabels = {"person", "dog"};

std::vector<ObjectObservation> decode(const std::vector<Row>& rows, const yolo::Letterbox& box) {
  const yolo::RegionRows layer{rows.front().data(), static_cast<int>(rows.size()), 7};
  return yolo::observations(std::span(&layer, 1), box, kLabels);
}

void expectBoxNear(const Box& actual, const Box& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-6);
  EXPECT_NEAR(actual.y, expected.y, 1e-6);
  EXPECT_NEAR(actual.width, expected.width, 1e-6);
  EXPECT_NEAR(actual.height, expected.height, 1e-6);
}

TEST(YoloDecodeTest, MapsBoxesFromTheInputBackToTheWholeImage) {
  // A 1000 × 500 image fills 416 × 208 of the 416 × 288 input, 40 rows down.
  const yolo::Letterbox box = yolo::letterboxFor(1000, 500);
  ASSERT_EQ(box, (yolo::Letterbox{416, 288, 0, 40, 416, 208}));
  const auto found = decode({{0.5f, 0.5f, 0.25f, 0.5f, 0.9f, 0.9f, 0}}, box);
  ASSERT_EQ(found.size(), 1u);
  // Input pixels: x 156…260, y 72…216; minus the 40-row pad, over 416 × 208.
  expectBoxNear(found[0].boundingBox, {0.375, 32.0 / 208, 0.25, 144.0 / 208});
}

TEST(YoloDecodeTest, SuppressesOverlapsPerClassAndOrdersLabelsAndObservations) {
  const yolo::Letterbox box = yolo::letterboxFor(416, 416);
  // Rows 0 and 1 overlap (IoU 0.8); row 2 lies elsewhere.
  const std::vector<Row> rows = {
      {0.50f, 0.50f, 0.20f, 0.40f, 0.9f, 0.60f, 0.70f},
      {0.51f, 0.50f, 0.20f, 0.40f, 0.9f, 0.80f, 0.30f},
      {0.10f, 0.10f, 0.10f, 0.10f, 0.9f, 0.00f, 0.50f},
      {0.90f, 0.90f, 0.10f, 0.10f, 0.1f, 0.00f, 0.00f},  // no class score: no observation
  };
  const auto found = decode(rows, box);
  ASSERT_EQ(found.size(), 3u);
  // Row 1 survives for person (0.8 beats 0.6); row 0 for dog (0.7 beats 0.3).
  EXPECT_FLOAT_EQ(found[0].confidence, 0.8f);
  ASSERT_EQ(found[0].labels.size(), 1u);
  EXPECT_EQ(found[0].labels[0].identifier, "person");
  EXPECT_FLOAT_EQ(found[1].confidence, 0.7f);
  ASSERT_EQ(found[1].labels.size(), 1u);
  EXPECT_EQ(found[1].labels[0].identifier, "dog");
  EXPECT_FLOAT_EQ(found[2].confidence, 0.5f);

  // Apart, both classes survive on one row: labels best first.
  const auto alone = decode({{0.5f, 0.5f, 0.2f, 0.4f, 0.9f, 0.3f, 0.6f}}, box);
  ASSERT_EQ(alone.size(), 1u);
  ASSERT_EQ(alone[0].labels.size(), 2u);
  EXPECT_EQ(alone[0].labels[0].identifier, "dog");
  EXPECT_EQ(alone[0].labels[1].identifier, "person");
  EXPECT_FLOAT_EQ(alone[0].confidence, 0.6f);
  // …which the person rule still accepts through the second label.
  EXPECT_EQ(personsFromObservations(std::vector<Observation>{alone[0]}).size(), 1u);
}

TEST(YoloDecodeTest, RefusesRowsOfTheWrongWidth) {
  const std::vector<float> rows(6 * 3, 0.5f);
  const yolo::RegionRows layer{rows.data(), 3, 6};
  EXPECT_THROW(yolo::observations(std::span(&layer, 1), yolo::letterboxFor(416, 416), kLabels),
               std::runtime_error);
}

}  // namespace
}  // namespace kestrel
