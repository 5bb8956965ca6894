// SPDX-License-Identifier: MIT
// JSON of the shared records: keys, omissions, enumerations, round trips.
#include "core/run/record_json.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/run/json_format.h"

namespace kestrel {
namespace {

using nlohmann::json;

CropDecision fullDecision() {
  CropDecision d;
  d.crop = PixelRect{384, 64, 5220, 3480};
  d.reason = "结合人脸与全身位置居中，保留头顶与手脚空间";
  d.people = {Person{{0.45, 0.2, 0.1, 0.6}, 0.9}, Person{{0.1, 0.3, 0.05, 0.2}, 0.3}};
  d.protectedRegion = Box{0.44, 0.176, 0.12, 0.648};
  d.compositionGain = 0.20539999999999997;
  d.scene = "single";
  d.visualAnchorX = 0.5;
  d.pairStrength = 0;
  return d;
}

SharpnessAssessment fullAssessment() {
  SharpnessAssessment a;
  a.verdict = SharpnessVerdict::soft;
  a.regionKind = "face";
  a.region = Box{0.1, 0.2, 0.3, 0.4};
  a.metrics = {12.25, 40.0, 1.0 / 3.0, 30.5};
  a.sampleWidth = 160;
  a.sampleHeight = 171;
  a.reason = "主体细节略软，限制裁剪幅度";
  a.subject = Box{0.05, 0.1, 0.4, 0.8};
  a.face = Box{0.1, 0.15, 0.2, 0.1};
  a.unsuitableForComposition = std::vector<Box>{{0.5, 0.1, 0.3, 0.7}};
  return a;
}

template <typename T>
T roundTrip(const T& value) {
  return json::parse(dumpJSON(json(value))).template get<T>();
}

TEST(RecordJSONTest, DecisionWithoutCropOmitsItsOptionalKeys) {
  CropDecision d;
  d.reason = "未可靠检测到人物";
  const json j = d;
  EXPECT_EQ(j, json::parse(R"({"reason":"未可靠检测到人物","people":[]})"));
  EXPECT_EQ(roundTrip(d), d);
  EXPECT_EQ(roundTrip(fullDecision()), fullDecision());
  EXPECT_EQ(json(fullDecision()).size(), 8u);
}

TEST(RecordJSONTest, AssessmentWithoutSubjectOmitsItsOptionalKeys) {
  const SharpnessAssessment review =
      SharpnessAssessment::review("没有可靠主体，清晰度需要人工复核");
  const json j = review;
  for (const char* key : {"region", "subject", "face", "unsuitableForComposition"}) {
    EXPECT_FALSE(j.contains(key)) << key;
  }
  EXPECT_EQ(j.size(), 9u);
  EXPECT_EQ(j.at("verdict"), "review");
  EXPECT_EQ(j.at("regionKind"), "unavailable");
  EXPECT_EQ(roundTrip(review), review);
  EXPECT_EQ(roundTrip(fullAssessment()), fullAssessment());
  // An empty list is present and empty, not omitted.
  SharpnessAssessment empty = fullAssessment();
  empty.unsuitableForComposition = std::vector<Box>{};
  EXPECT_EQ(json(empty).at("unsuitableForComposition"), json::array());
  EXPECT_EQ(roundTrip(empty), empty);
}

TEST(RecordJSONTest, DoublesUseTheShortestRoundTripForm) {
  const Box box{0.1, 1.0 / 3.0, 0.30000000000000004, 1e-7};
  const std::string text = json(box).dump();
  EXPECT_NE(text.find("\"x\":0.1"), std::string::npos) << text;
  EXPECT_NE(text.find("0.30000000000000004"), std::string::npos) << text;
  EXPECT_EQ(roundTrip(box), box);
}

TEST(RecordJSONTest, DecodingRefusesMissingKeysWrongTypesAndUnknownEnums) {
  const char* bad[] = {
      R"({"people":[]})",                                              // decision without reason
      R"({"reason":"x"})",                                             // decision without people
      R"({"reason":"x","people":[],"crop":{"x":1,"y":2,"width":3}})",  // incomplete rect
      R"({"reason":"x","people":[],"crop":{"x":1.5,"y":2,"width":3,"height":4}})",
      R"({"reason":"x","people":[{"box":{"x":0,"y":0,"width":1,"height":1}}]})",
  };
  for (const char* text : bad) {
    EXPECT_ANY_THROW(json::parse(text).get<CropDecision>()) << text;
  }
  json assessment = fullAssessment();
  assessment["verdict"] = "Sharp";
  EXPECT_ANY_THROW(assessment.get<SharpnessAssessment>());
  assessment = fullAssessment();
  assessment.erase("sampleWidth");
  EXPECT_ANY_THROW(assessment.get<SharpnessAssessment>());
  EXPECT_ANY_THROW(json("turbo").get<ComputeChoice>());
  EXPECT_ANY_THROW(json("Auto").get<ProcessingMode>());
  // Null is read as an absent optional.
  EXPECT_FALSE(json::parse(R"({"reason":"x","people":[],"crop":null})").get<CropDecision>().crop);
}

TEST(RecordJSONTest, ConfigurationUsesFileURLsAndRawValues) {
  BatchConfiguration c("/photos/卡 1", "/out/results");
  c.model = "/models/YOLOv3TinyFP16.mlmodel";
  c.limit = 5;
  c.mode = ProcessingMode::fixed;
  c.compute = ComputeChoice::cpuGPU;
  c.eventName = "城市半程";
  c.eventDate = "20260405";
  const json j = c;
  EXPECT_EQ(j.at("input"), "file:///photos/%E5%8D%A1%201/");
  EXPECT_EQ(j.at("outputRoot"), "file:///out/results/");
  EXPECT_EQ(j.at("model"), "file:///models/YOLOv3TinyFP16.mlmodel");
  EXPECT_EQ(j.at("mode"), "fixed");
  EXPECT_EQ(j.at("compute"), "cpu-gpu");
  EXPECT_FALSE(j.contains("sourceIdentity"));
  EXPECT_EQ(j.get<BatchConfiguration>(), c);
  EXPECT_EQ(json(BatchConfiguration("/a", "/b")).size(), 12u);
}

TEST(JSONFormatTest, PrettySortedUnescapedAndFinite) {
  const json j = {{"b", "/路径"}, {"a", 1}};
  EXPECT_EQ(dumpJSON(j), "{\n  \"a\": 1,\n  \"b\": \"/路径\"\n}\n");
  EXPECT_THROW(dumpJSON(json{{"x", std::numeric_limits<double>::infinity()}}), std::domain_error);
  EXPECT_THROW(dumpJSON(json::array({std::nan("")})), std::domain_error);
  // A file name that is not UTF-8 does not sink the report.
  EXPECT_EQ(dumpJSON(json(std::string("a\xff"))), "\"a\xEF\xBF\xBD\"\n");
}

TEST(JSONFormatTest, FileURLsRoundTrip) {
  EXPECT_EQ(fileURL("/a b/c#d%e", false), "file:///a%20b/c%23d%25e");
  EXPECT_EQ(fileURL("/", true), "file:///");
  EXPECT_EQ(pathFromFileURL("file:///a%20b/c%23d%25e"), "/a b/c#d%e");
  EXPECT_EQ(pathFromFileURL("file:///x/y/"), "/x/y");
  EXPECT_THROW(pathFromFileURL("http://x/y"), std::invalid_argument);
  EXPECT_THROW(pathFromFileURL("file:///a%2"), std::invalid_argument);
}

TEST(JSONFormatTest, ISO8601InUTC) {
  const auto t = std::chrono::system_clock::from_time_t(1775377815);  // 2026-04-05T08:30:15Z
  EXPECT_EQ(iso8601(t), "2026-04-05T08:30:15Z");
  EXPECT_EQ(parseISO8601("2026-04-05T08:30:15Z"), t);
  EXPECT_THROW(parseISO8601("2026-04-05 08:30:15"), std::invalid_argument);
}

}  // namespace
}  // namespace kestrel
