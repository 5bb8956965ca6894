// SPDX-License-Identifier: MIT
// The reports of a run: the data files against golden files and at their
// edges; the HTML report's sampling, markup, texts and cards.
#include "core/output/report_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/base/file_io.h"
#include "core/jpeg/image_preparation.h"
#include "core/run/record_json.h"
#include "tests/support/test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // unnamed fields stay empty

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Indices = std::vector<std::int64_t>;

// A fixed run: one photo of each outcome (cropped, copied whole, filtered,
// failed) with every field set. Race numbers: 1432 and 951 on the cropped
// photo, 951 again on the filtered one; the failed one's never count.
RunSummary syntheticRun() {
  // clang-format off
  BatchConfiguration config("/photos/卡 A", "/results");
  config.workers = 2, config.limit = 40, config.eventName = "城市半程", config.eventDate = "20260405";
  RunSummary s(config);
  s.createdAt = std::chrono::system_clock::from_time_t(1775377815);
  s.modelPath = "/models/YOLOv3TinyFP16.mlmodelc", s.machine = "Test CPU @ 2.00GHz; 24 GiB RAM";
  s.os = "Debian GNU/Linux 12 (bookworm) 6.1.0", s.runDirectory = "/results/城市半程-20260405-卡1";
  s.discovered = 5, s.processed = 4, s.cancelled = true, s.inputBytes = 20'000'000, s.outputBytes = 13'000'000;
  s.counts = {.cropped = 1, .unchanged = 1, .filtered = 1, .failed = 1};
  s.scanSeconds = 0.125, s.modelStartupSeconds = 0.5, s.processingSeconds = 2.0, s.reportSeconds = 0.25;
  s.firstOutputSeconds = 0.875, s.p50FileMilliseconds = 410.5, s.p95FileMilliseconds = 512.25;
  const FileResult cropped{
      .index = 0, .relativePath = "A/IMG_0001.JPG", .inputBytes = 5'000'000, .outputBytes = 4'000'000,
      .info = JPEGInfo{6000, 4000, 16, 16, 2}, .orientation = 1,
      .decision = CropDecision{
          .crop = PixelRect{384, 64, 5220, 3480}, .reason = "结合人脸与全身位置居中，保留头顶与手脚空间",
          .people = {Person{{0.45, 0.2, 0.1, 0.6}, 0.9}}, .protectedRegion = Box{0.44, 0.176, 0.12, 0.648},
          .compositionGain = 0.2054, .scene = "single", .visualAnchorX = 0.5, .pairStrength = 0},
      .sharpness = SharpnessAssessment{
          .verdict = SharpnessVerdict::sharp, .regionKind = "face", .region = Box{0.48, 0.22, 0.04, 0.05},
          .metrics = {12.5, 40.25, 0.310559, 30.125}, .sampleWidth = 160, .sampleHeight = 179,
          .reason = "主体局部细节通过清晰度检查", .subject = Box{0.45, 0.2, 0.1, 0.6},
          .face = Box{0.47, 0.21, 0.06, 0.07}},
      .bibs = {Bib{"1432", 0.965, {0.5, 0.4, 0.04, 0.02}, 0}, Bib{"951", 0.99, {0.46, 0.41, 0.03, 0.02}, 0}},
      .timings = StageTimes{0.01, 0.002, 0.05, 0.03, 0.004, 0.0001, 0.06, 0.02, 0.012},
      .elapsedSeconds = 0.1761};
  const FileResult copied{
      .index = 1, .relativePath = "say \"cheese\", <&> too\nsecond line.jpg", .inputBytes = 5'000'000,
      .outputBytes = 5'000'000, .info = JPEGInfo{5760, 4704, 16, 16, 2}, .orientation = 6,
      .decision = CropDecision{.reason = "原样复制基线（未运行 AI）"}, .elapsedSeconds = 0.02};
  const FileResult filtered{
      .index = 2, .relativePath = "blur.jpg", .inputBytes = 5'000'000, .outputBytes = 4'000'000,
      .info = JPEGInfo{6000, 4000, 16, 16, 2},
      .sharpness = SharpnessAssessment{.verdict = SharpnessVerdict::blurred, .reason = "主体细节的高频与边缘响应均偏低"},
      .filteredReason = "所有可评估的主要跑者均明显模糊，单独过滤存放", .reviewReason = "也有复核理由",
      .bibs = {Bib{"951", 0.955, {0.1, 0.5, 0.05, 0.03}, 0}}, .elapsedSeconds = 0.3};
  const FileResult failed{.index = 3, .relativePath = "broken.jpg", .inputBytes = 5'000'000,
      .error = "Not a JPEG file: starts with 0x89 0x50", .bibs = {Bib{"7", 0.99, {}, 0}}, .elapsedSeconds = 0.001};
  // clang-format on
  s.files = {cropped, copied, filtered, failed};
  return s;
}

// Set KESTREL_UPDATE_GOLDEN=1 to rewrite the expected files after a reviewed change.
TEST(DataReportsTest, MatchTheGoldenFilesAndRoundTrip) {
  const RunSummary run = syntheticRun();
  const fs::path golden = fs::path(KESTREL_SOURCE_DIR) / "tests/output/golden";
  for (const auto& [name, text] : {std::pair("summary.json", ReportWriter::summaryJSON(run)),
                                   {"statistics.json", ReportWriter::statisticsJSON(run)},
                                   {"files.csv", ReportWriter::filesCSV(run)},
                                   {"bibs.csv", ReportWriter::bibsCSV(run)}}) {
    if (std::getenv("KESTREL_UPDATE_GOLDEN")) testing::writeFile(golden / name, text);
    EXPECT_EQ(text, testing::readFile(golden / name)) << name;
  }
  EXPECT_EQ(json::parse(ReportWriter::summaryJSON(run)).get<RunSummary>(), run);
}

// An empty run has a zero rate; no measurable time divides by a microsecond;
// a value JSON cannot hold stops writeData before any file.
TEST(DataReportsTest, EmptyRunAndNonFiniteValues) {
  testing::TempDir dir;
  RunSummary run = syntheticRun();
  run.runDirectory = dir.path();
  run.files.clear(), run.processed = 0, run.processingSeconds = 0;
  EXPECT_EQ(json::parse(ReportWriter::statisticsJSON(run)).at("images_per_second"), 0.0);
  run.processed = 3;
  EXPECT_EQ(json::parse(ReportWriter::statisticsJSON(run)).at("images_per_second"), 3e6);
  run.p50FileMilliseconds = std::numeric_limits<double>::infinity();
  EXPECT_THROW(ReportWriter::writeData(run), std::domain_error);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

Indices sampled(std::size_t cropped, std::size_t others, std::int64_t count) {
  std::vector<FileResult> list(cropped + others);
  for (std::size_t i = 0; i < list.size(); ++i) {
    list[i].index = static_cast<std::int64_t>(i);
    if (i < cropped) list[i].decision = CropDecision{.crop = PixelRect{}};
  }
  Indices out;
  for (const FileResult& r : ReportWriter::sample(list, count)) out.push_back(r.index);
  return out;
}

// Two thirds of the cards go to cropped results, the rest to others, each
// spread evenly with first and last (halves rounded up; a single one from the
// middle); unused places go to the first unpicked in file order.
TEST(ReportSampleTest, CroppedFirstSpreadEvenly) {
  EXPECT_EQ(sampled(0, 5, 1), Indices{2});
  EXPECT_EQ(sampled(20, 3, 9), (Indices{0, 4, 8, 11, 15, 19, 20, 21, 22}));
  EXPECT_EQ(sampled(2, 50, 9), (Indices{0, 1, 2, 27, 51, 3, 4, 5, 6}));
  EXPECT_EQ(sampled(2, 50, 0), Indices{});
}

// Writes the report of `s` into `dir` and returns report.html.
std::string render(RunSummary s, const fs::path& dir) {
  s.runDirectory = dir;
  ReportWriter::writePreviewsAndHTML(s);
  return testing::readFile(dir / "report.html");
}

void expectAll(const std::string& html, std::initializer_list<std::string_view> texts,
               bool shown = true) {
  for (std::string_view text : texts) EXPECT_EQ(html.find(text) != html.npos, shown) << text;
}

// Text and boxes are escaped; cards show the preview failure (the inputs do
// not exist); a name that is not UTF-8 reads alike, as valid UTF-8, everywhere.
TEST(ReportPageTest, MarkupAndTextsFollowTheRun) {
  EXPECT_EQ(ReportWriter::escape("a<b>&\"c\"'d'"), "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;");
  EXPECT_EQ(ReportWriter::boxHTML({0.125, 1.0 / 3.0, 0.0, 1.0}, "crop", "裁剪<范围>"),
            "<div class=\"box crop\" style=\"left:12.5%;top:33.33333333333333%;width:0.0%;"
            "height:100.0%\"><span>裁剪&lt;范围&gt;</span></div>");
  testing::TempDir dir;
  RunSummary s = syntheticRun();
  s.configuration.maximumTrim = 0.155, s.firstOutputSeconds.reset();
  s.files[3].relativePath = "a/\xE9\x9A\xFF.jpg";
  const std::string html = render(s, dir.path()), name = "a/\uFFFD\uFFFD\uFFFD.jpg";
  EXPECT_EQ(json::parse(ReportWriter::summaryJSON(s)).at("files").at(3).at("relativePath"), name);
  EXPECT_NE(ReportWriter::filesCSV(s).find("\"" + name + "\""), std::string::npos);
  expectAll(
      html,
      {"<h3>" + name + "</h3>", "此批使用真实 YOLO 人物检测。", "任务已取消；已完成结果保留。",
       "最大缩短长边：16%", "首份输出（含启动）：— s", "交付照片至少保留 18.00 百万像素。",
       "单张 P50 / P95：410.50 / 512.25 ms", "<strong>2.00</strong><span>张/秒 · 含读写</span>",
       "<tr><td>读取</td><td>2.50 ms</td></tr>",  // 10 ms over 4 processed files
       "say &quot;cheese&quot;, &lt;&amp;&gt; too",
       "<p class=\"error\">Not a JPEG file: starts with 0x89 0x50</p>", "预览失败：",
       "<article data-bibs=\"1432 951\"><h3>A/IMG_0001.JPG</h3><p class=\"bibs\">号码布 "
       "<span class=\"bibno\">1432</span><span class=\"bibno\">951</span></p>",
       "placeholder=\"按号码布查找\""});
  // A benchmark mode says so; the number search shows only when numbers are read.
  s.configuration.mode = ProcessingMode::copy;
  expectAll(render(s, dir.path()),
            {"这是 copy 基准模式，未运行 AI；不代表自动构图效果。 原片未修改。"});
  s.configuration.mode = ProcessingMode::automatic, s.configuration.readBibs = false;
  expectAll(render(s, dir.path()), {"按号码布查找"}, false);
}

// One card from real previews: a photo stored on its side (orientation 6)
// shows upright, its crop and people boxes sit in display space, and the
// sharpness block carries the verdict with a grayscale focus close-up.
TEST(ReportPageTest, CardFromRealPreviews) {
  KESTREL_REQUIRE_TEST_DATA(data);
  testing::TempDir dir;
  RunSummary s = syntheticRun();
  s.configuration.input = dir / "in";
  for (const fs::path& to : {dir / "in" / "p.jpg", dir / "photos" / "p.jpg"}) {
    fs::create_directories(to.parent_path());
    fs::copy_file(data / "variants/0057-IMG_0080/orient6.jpg", to);
  }
  FileResult r = s.files.at(0);  // cropped, sharp, with a face region
  r.relativePath = "p.jpg", r.info = JPEGInfo{4704, 5760, 16, 16, 2}, r.orientation = 6;
  r.decision->crop = PixelRect{16, 0, 4000, 4896};  // raw x 0.0034…, display x 0.15…
  s.files = {r};
  expectAll(render(s, dir.path()),
            {"<div class=\"box crop\" style=\"left:15.0", "<span>人物 0.90</span>",
             "<div class=\"box bib\" style=\"left:46.0%", "<span>951</span>",
             "主体清晰 · face · 细节响应 12.50 · 高频比 0.31<br>主体局部细节通过清晰度检查",
             "src=\"previews/0-focus.jpg\""});
  const ImageSource before = ImagePreparation::source(readFile(dir / "previews/0-before.jpg"));
  EXPECT_EQ(std::pair(before.storedWidth, before.storedHeight), std::pair(1000, 817));  // upright
}

}  // namespace
}  // namespace kestrel
