// SPDX-License-Identifier: MIT
// Golden tests of summary.json, statistics.json and files.csv.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/output/report_writer.h"
#include "core/run/record_json.h"
#include "tests/output/synthetic_run.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

const fs::path kGolden = fs::path(KESTREL_SOURCE_DIR) / "tests" / "output" / "golden";

// Set KESTREL_UPDATE_GOLDEN=1 to rewrite the expected files after a reviewed change.
void expectGolden(const std::string& actual, const std::string& name) {
  if (std::getenv("KESTREL_UPDATE_GOLDEN")) testing::writeFile(kGolden / name, actual);
  EXPECT_EQ(actual, testing::readFile(kGolden / name)) << name;
}

TEST(DataReportsTest, MatchTheGoldenFiles) {
  const RunSummary run = testing::syntheticRun();
  expectGolden(ReportWriter::summaryJSON(run), "summary.json");
  expectGolden(ReportWriter::statisticsJSON(run), "statistics.json");
  expectGolden(ReportWriter::filesCSV(run), "files.csv");
}

TEST(DataReportsTest, SummaryRoundTripsAndOmitsAbsentOptionals) {
  RunSummary run = testing::syntheticRun();
  EXPECT_EQ(nlohmann::json::parse(ReportWriter::summaryJSON(run)).get<RunSummary>(), run);
  run.firstOutputSeconds.reset();
  run.modelPath.reset();
  const auto j = nlohmann::json::parse(ReportWriter::summaryJSON(run));
  EXPECT_FALSE(j.contains("firstOutputSeconds"));
  EXPECT_FALSE(j.contains("modelPath"));
  EXPECT_FALSE(j.at("files").at(3).contains("info"));
  EXPECT_EQ(j.at("files").at(3).at("error"), "Not a JPEG file: starts with 0x89 0x50");
}

// A Linux file name need not be UTF-8; every report shows it alike, as valid UTF-8.
TEST(DataReportsTest, NamesThatAreNotUTF8ReadAlikeInEveryReport) {
  testing::TempDir dir;
  RunSummary run = testing::syntheticRun();
  run.runDirectory = dir.path();
  run.files[3].relativePath = "a/\xE9\x9A\xFF.jpg";
  const std::string shown = "a/\uFFFD\uFFFD\uFFFD.jpg";
  EXPECT_EQ(
      nlohmann::json::parse(ReportWriter::summaryJSON(run)).at("files").at(3).at("relativePath"),
      shown);
  EXPECT_NE(ReportWriter::filesCSV(run).find("\"" + shown + "\""), std::string::npos);
  ReportWriter::writePreviewsAndHTML(run);
  EXPECT_NE(testing::readFile(dir / "report.html").find("<h3>" + shown + "</h3>"),
            std::string::npos);
}

TEST(DataReportsTest, EmptyRunAndNonFiniteValues) {
  RunSummary run = testing::syntheticRun();
  run.files.clear();
  run.processed = 0;
  run.processingSeconds = 0;
  EXPECT_EQ(ReportWriter::filesCSV(run).find('\n'), ReportWriter::filesCSV(run).size() - 1);
  const auto statistics = nlohmann::json::parse(ReportWriter::statisticsJSON(run));
  EXPECT_EQ(statistics.at("images_per_second"), 0.0);
  EXPECT_EQ(statistics.size(), 17u);
  EXPECT_EQ(nlohmann::json::parse(ReportWriter::summaryJSON(run)).at("files"),
            nlohmann::json::array());
  // A rate with no measurable time divides by a microsecond.
  run.processed = 3;
  EXPECT_EQ(nlohmann::json::parse(ReportWriter::statisticsJSON(run)).at("images_per_second"), 3e6);
  run.scanSeconds = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(ReportWriter::summaryJSON(run), std::domain_error);
}

TEST(DataReportsTest, WriteDataStopsBeforeWritingWhenTheSummaryCannotBeEncoded) {
  testing::TempDir dir;
  RunSummary run = testing::syntheticRun();
  run.runDirectory = dir.path();
  ReportWriter::writeData(run);
  for (const char* name : {"summary.json", "statistics.json", "files.csv"}) {
    EXPECT_TRUE(fs::exists(dir / name)) << name;
  }
  testing::TempDir other;
  run.runDirectory = other.path();
  run.p50FileMilliseconds = std::numeric_limits<double>::infinity();
  EXPECT_ANY_THROW(ReportWriter::writeData(run));
  EXPECT_TRUE(fs::is_empty(other.path()));
}

}  // namespace
}  // namespace kestrel
