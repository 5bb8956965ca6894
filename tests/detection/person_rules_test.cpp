// SPDX-License-Identifier: MIT
// The person rules over model observations, and the decoding of YOLO
// region rows into observations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "core/base/crop_error.h"
#include "core/detection/detail/yolo_decode.h"
#include "core/detection/person_detector.h"

namespace kestrel {
namespace {

ObjectObservation object(Box box, float confidence, std::vector<ObservationLabel> labels) {
  return {box, confidence, std::move(labels)};
}

constexpr Box kBox{0.125, 0.25, 0.25, 0.25};
constexpr Box kSmall{0.125, 0.125, 0.125, 0.125};

TEST(PersonsFromObservationsTest, AppliesTheLabelScoreAndBoxRules) {
  const struct {
    const char* name;
    std::vector<Observation> observations;
    std::vector<Person> expected;
  } cases[] = {
      // clang-format off
      {"first person label decides, in any case", {object(kBox, 0.9f, {{"bicycle", 0.9f}, {"Person", 0.5f}})}, {{kBox, 0.5}}},
      {"a later person label is not looked at", {object(kBox, 0.9f, {{"person", 0.1f}, {"PERSON", 0.9f}})}, {}},
      {"label score 0.19 dropped", {object(kBox, 0.95f, {{"person", 0.19f}})}, {}},
      {"label score exactly 0.2 (as float) kept", {object(kBox, 0.95f, {{"person", 0.2f}})}, {{kBox, double{0.2f}}}},
      {"confidence is the smaller score", {object(kBox, 0.3f, {{"person", 0.8f}})}, {{kBox, double{0.3f}}}},
      {"no person label", {object(kBox, 0.9f, {{"dog", 0.9f}})}, {}},
      {"box clipped to the image", {object({-0.25, 0.5, 0.5, 0.75}, 0.9f, {{"person", 0.9f}})}, {{{0, 0.5, 0.25, 0.5}, double{0.9f}}}},
      {"box wholly outside dropped", {object({1.2, 0.2, 0.1, 0.1}, 0.9f, {{"person", 0.9f}})}, {}},
      {"box without height dropped", {object({0.2, 0.2, 0.1, 0}, 0.9f, {{"person", 0.9f}})}, {}},
      {"model's order kept", {object(kSmall, 0.4f, {{"person", 0.4f}}), object(kBox, 0.9f, {{"person", 0.9f}})}, {{kSmall, double{0.4f}}, {kBox, double{0.9f}}}},
      {"an empty list is no error", {}, {}},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(personsFromObservations(row.observations), row.expected);
  }
  // Absent results or any classification among them: the model is no detector.
  for (const auto& results : std::initializer_list<std::optional<std::vector<Observation>>>{
           std::nullopt, std::vector<Observation>{object(kBox, 0.9f, {{"person", 0.9f}}),
                                                  ClassificationObservation{"runner", 0.8f}}}) {
    EXPECT_THAT([&] { personsFromObservations(results); },
                ::testing::ThrowsMessage<CropError>(
                    "模型输出不是目标检测结果，请使用带标签的 YOLO 目标检测模型"));
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
      {1024, 860, {416, 416, 0, 33, 416, 349}},  // 1.19:1 square input
      {4000, 10, {416, 288, 0, 143, 416, 1}},    // never zero rows
  };
  for (const auto& row : cases) {
    EXPECT_EQ(yolo::letterboxFor(row.width, row.height), row.expected) << row.width;
  }
}

// Rows of [cx, cy, w, h, objectness, person, dog] relative to the input.
using Row = std::array<float, 7>;

std::vector<ObjectObservation> decode(const std::vector<Row>& rows, const yolo::Letterbox& box,
                                      int columns = 7) {
  const yolo::RegionRows layer{rows.front().data(), static_cast<int>(rows.size()), columns};
  return yolo::observations(std::span(&layer, 1), box, {"person", "dog"});
}

TEST(YoloDecodeTest, MapsBoxesFromTheInputBackToTheWholeImage) {
  const struct {
    int width, height;
    Row row;
    Box expected;
  } cases[] = {
      // 416 × 208 of the 416 × 288 input, 40 rows down: input x 156…260, y 72…216.
      {1000, 500, {0.5f, 0.5f, 0.25f, 0.5f, 0.9f, 0.9f, 0}, {0.375, 32.0 / 208, 0.25, 144.0 / 208}},
      // 208 × 416 of the 288 × 416 input, 40 columns in.
      {500, 1000, {0.5f, 0.5f, 0.5f, 0.25f, 0.9f, 0.9f, 0}, {32.0 / 208, 0.375, 144.0 / 208, 0.25}},
  };
  for (const auto& row : cases) {
    const auto found = decode({row.row}, yolo::letterboxFor(row.width, row.height));
    ASSERT_EQ(found.size(), 1u);
    const Box& b = found[0].boundingBox;
    const Box& e = row.expected;
    EXPECT_THAT(
        (std::array{b.x, b.y, b.width, b.height}),
        ::testing::Pointwise(::testing::DoubleNear(1e-6), std::array{e.x, e.y, e.width, e.height}));
  }
  EXPECT_THROW(decode({{}}, yolo::letterboxFor(416, 416), 6),
               std::runtime_error);  // a column short
}

TEST(YoloDecodeTest, SuppressesOverlapsPerClassAndOrdersLabelsAndObservations) {
  const struct {
    std::vector<Row> rows;
    std::vector<std::string> expected;  // per observation: confidence, then label and score
  } cases[] = {
      // Rows 0 and 1 overlap (IoU 0.8): row 1 survives for person (0.8 beats 0.6),
      // row 0 for dog (0.7 beats 0.3); row 3 has no class score.
      {{{0.50f, 0.50f, 0.20f, 0.40f, 0.9f, 0.60f, 0.70f},
        {0.51f, 0.50f, 0.20f, 0.40f, 0.9f, 0.80f, 0.30f},
        {0.10f, 0.10f, 0.10f, 0.10f, 0.9f, 0.00f, 0.50f},
        {0.90f, 0.90f, 0.10f, 0.10f, 0.1f, 0.00f, 0.00f}},
       {"0.8 person 0.8", "0.7 dog 0.7", "0.5 dog 0.5"}},
      // A row alone keeps both classes, best first.
      {{{0.5f, 0.5f, 0.2f, 0.4f, 0.9f, 0.3f, 0.6f}}, {"0.6 dog 0.6 person 0.3"}},
  };
  for (const auto& row : cases) {
    std::vector<std::string> found;
    for (const ObjectObservation& o : decode(row.rows, yolo::letterboxFor(416, 416))) {
      std::ostringstream text;
      text << o.confidence;
      for (const auto& label : o.labels) text << ' ' << label.identifier << ' ' << label.confidence;
      found.push_back(text.str());
    }
    EXPECT_EQ(found, row.expected);
  }
}

}  // namespace
}  // namespace kestrel
