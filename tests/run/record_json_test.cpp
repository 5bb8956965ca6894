// SPDX-License-Identifier: MIT
// JSON of the records: what decoding refuses, configuration folders as file
// URLs, and the text forms of time and paths. Complete records are checked
// against golden files in tests/output.
#include "core/run/record_json.h"

#include <gtest/gtest.h>

#include "core/run/json_format.h"

namespace kestrel {
namespace {

using nlohmann::json;

TEST(RecordJSONTest, DecodingRefusesMissingKeysWrongTypesAndUnknownEnums) {
  const char* bad[] = {
      R"({"people":[]})",                                              // decision without reason
      R"({"reason":"x","people":[],"crop":{"x":1,"y":2,"width":3}})",  // incomplete rect
      R"({"reason":"x","people":[],"crop":{"x":1.5,"y":2,"width":3,"height":4}})",
      R"({"reason":"x","people":[{"box":{"x":0,"y":0,"width":1,"height":1}}]})",
  };
  // A bib needs all four fields, its person an integer.
  EXPECT_ANY_THROW(json::parse(R"({"number":"951","confidence":0.9,"person":0})").get<Bib>());
  EXPECT_ANY_THROW(json::parse(R"({"number":"951","confidence":0.9,"person":0.5,)"
                               R"("box":{"x":0,"y":0,"width":1,"height":1}})")
                       .get<Bib>());
  for (const char* text : bad) EXPECT_ANY_THROW(json::parse(text).get<CropDecision>()) << text;
  SharpnessAssessment a = SharpnessAssessment::review("x");
  a.unsuitableForComposition = std::vector<Box>{};  // an empty list is kept, not omitted
  json assessment = a;
  EXPECT_EQ(assessment.at("unsuitableForComposition"), json::array());
  EXPECT_EQ(assessment.get<SharpnessAssessment>(), a);
  assessment["verdict"] = "Sharp";
  EXPECT_ANY_THROW(assessment.get<SharpnessAssessment>());
  EXPECT_ANY_THROW(json("Auto").get<ProcessingMode>());
  // Null is read as an absent optional.
  EXPECT_FALSE(json::parse(R"({"reason":"x","people":[],"crop":null})").get<CropDecision>().crop);
}

TEST(RecordJSONTest, ConfigurationFoldersAreFileURLs) {
  BatchConfiguration c("/photos/卡 1", "/out/results");
  c.model = "/models/YOLOv3TinyFP16.mlmodel";  // a file: no trailing "/"
  c.compute = ComputeChoice::cpuGPU;
  const json j = c;
  EXPECT_EQ(j.at("input"), "file:///photos/%E5%8D%A1%201/");
  EXPECT_EQ(j.at("model"), "file:///models/YOLOv3TinyFP16.mlmodel");
  EXPECT_EQ(j.at("compute"), "cpu-gpu");
  EXPECT_EQ(j.get<BatchConfiguration>(), c);
  // Saved before race numbers were read: both switches at their defaults;
  // a switch that is not a boolean is refused.
  json old = j;
  old.erase("readBibs");
  old.erase("writeBibKeywords");
  c.readBibs = false, c.writeBibKeywords = true;
  EXPECT_EQ(json(c).get<BatchConfiguration>(), c);
  const BatchConfiguration defaults = old.get<BatchConfiguration>();
  EXPECT_TRUE(defaults.readBibs);
  EXPECT_FALSE(defaults.writeBibKeywords);
  old["readBibs"] = "yes";
  EXPECT_ANY_THROW(old.get<BatchConfiguration>());
  EXPECT_EQ(pathFromFileURL("file:///a%20b/c%23d%25e/"), "/a b/c#d%e");
  EXPECT_THROW(pathFromFileURL("file:///a%2"), std::invalid_argument);
  const auto t = std::chrono::system_clock::from_time_t(1775377815);
  EXPECT_EQ(iso8601(t), "2026-04-05T08:30:15Z");
  EXPECT_EQ(parseISO8601("2026-04-05T08:30:15Z"), t);
}

}  // namespace
}  // namespace kestrel
