// SPDX-License-Identifier: MIT
// The HTML report: sampling, markup helpers, texts and escaping.
#include <gtest/gtest.h>

#include "core/base/file_io.h"
#include "core/jpeg/image_preparation.h"
#include "core/output/report_writer.h"
#include "tests/output/synthetic_run.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

std::vector<FileResult> results(int cropped, int others) {
  std::vector<FileResult> list;
  for (int i = 0; i < cropped + others; ++i) {
    FileResult r;
    r.index = i;
    r.relativePath = std::to_string(i) + ".jpg";
    r.decision = CropDecision{};
    if (i < cropped) r.decision->crop = PixelRect{0, 0, 10, 10};
    list.push_back(r);
  }
  return list;
}

std::vector<std::int64_t> indices(const std::vector<FileResult>& list) {
  std::vector<std::int64_t> out;
  for (const FileResult& r : list) out.push_back(r.index);
  return out;
}

TEST(ReportSampleTest, SpreadPicksEvenlyWithFirstAndLast) {
  const auto five = results(0, 5);
  EXPECT_EQ(indices(ReportWriter::spread(five, 1)), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(indices(ReportWriter::spread(results(0, 2), 5)), (std::vector<std::int64_t>{0, 1}));
  EXPECT_EQ(indices(ReportWriter::spread(results(0, 20), 6)),
            (std::vector<std::int64_t>{0, 4, 8, 11, 15, 19}));
  EXPECT_TRUE(ReportWriter::spread(five, 0).empty());
  EXPECT_TRUE(ReportWriter::spread({}, 3).empty());
}

TEST(ReportSampleTest, CroppedFirstThenOthersThenFillUps) {
  // 20 cropped and 3 others, n = 9: six cropped picks and all three others.
  std::vector<FileResult> list = results(20, 3);
  EXPECT_EQ(indices(ReportWriter::sample(list, 9)),
            (std::vector<std::int64_t>{0, 4, 8, 11, 15, 19, 20, 21, 22}));
  // 2 cropped and 50 others: 2 cropped, 3 spread others, then the first unpicked in file order.
  list = results(2, 50);
  EXPECT_EQ(indices(ReportWriter::sample(list, 9)),
            (std::vector<std::int64_t>{0, 1, 2, 27, 51, 3, 4, 5, 6}));
  EXPECT_TRUE(ReportWriter::sample(list, 0).empty());
}

TEST(ReportMarkupTest, EscapeAndBoxes) {
  EXPECT_EQ(ReportWriter::escape("a<b>&\"c\"'d'"), "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;");
  EXPECT_EQ(ReportWriter::escape("&lt;"), "&amp;lt;");
  EXPECT_EQ(ReportWriter::boxHTML({0.125, 1.0 / 3.0, 0.0, 1.0}, "crop", "裁剪<范围>"),
            "<div class=\"box crop\" style=\"left:12.5%;top:33.33333333333333%;width:0.0%;"
            "height:100.0%\"><span>裁剪&lt;范围&gt;</span></div>");
}

class ReportPageTest : public ::testing::Test {
 protected:
  std::string render(RunSummary s) {
    s.runDirectory = dir.path();
    ReportWriter::writePreviewsAndHTML(s);
    return testing::readFile(dir / "report.html");
  }
  testing::TempDir dir;
};

TEST_F(ReportPageTest, TextsFollowTheRun) {
  RunSummary s = testing::syntheticRun();
  s.configuration.maximumTrim = 0.155;
  s.firstOutputSeconds.reset();
  const std::string html = render(s);
  EXPECT_NE(html.find("<html lang=\"zh-CN\">"), std::string::npos);
  EXPECT_NE(html.find("<title>隼影 · 批处理报告</title>"), std::string::npos);
  EXPECT_NE(html.find("此批使用真实 YOLO 人物检测。"), std::string::npos);
  EXPECT_NE(html.find("任务已取消；已完成结果保留。"), std::string::npos);
  EXPECT_NE(html.find("最大缩短长边：16%"), std::string::npos);
  EXPECT_NE(html.find("首份输出（含启动）：— s"), std::string::npos);
  EXPECT_NE(html.find("交付照片至少保留 18.00 百万像素。"), std::string::npos);
  EXPECT_NE(html.find("单张 P50 / P95：410.50 / 512.25 ms"), std::string::npos);
  EXPECT_NE(html.find("<strong>2.00</strong><span>张/秒 · 含读写</span>"), std::string::npos);
  // Timing rows average over processed files: read 10 ms ÷ 4 files.
  EXPECT_NE(html.find("<tr><td>读取</td><td>2.50 ms</td></tr>"), std::string::npos);
  // Every data text is escaped; the input photos do not exist, so cards show the preview failure.
  EXPECT_NE(html.find("say &quot;cheese&quot;, &lt;&amp;&gt; too"), std::string::npos);
  EXPECT_EQ(html.find("<&>"), std::string::npos);
  EXPECT_NE(html.find("<p class=\"error\">Not a JPEG file: starts with 0x89 0x50</p>"),
            std::string::npos);
  EXPECT_NE(html.find("预览失败："), std::string::npos);
  EXPECT_NE(html.find("<a href=\"files.csv\">files.csv</a> · <a href=\"summary.json\">"),
            std::string::npos);
  EXPECT_TRUE(fs::is_directory(dir / "previews"));
}

TEST_F(ReportPageTest, BenchmarkModesWarnAndZeroPreviewsShowNoCards) {
  RunSummary s = testing::syntheticRun();
  s.configuration.mode = ProcessingMode::copy;
  s.configuration.previewCount = 0;
  s.cancelled = false;
  const std::string html = render(s);
  EXPECT_NE(html.find("这是 copy 基准模式，未运行 AI；不代表自动构图效果。 原片未修改。"),
            std::string::npos);
  EXPECT_NE(html.find("引擎基准未检查主体清晰度，copy 模式也不执行交付像素筛选。"),
            std::string::npos);
  EXPECT_NE(html.find("最多展示 0 张"), std::string::npos);
  EXPECT_EQ(html.find("<article"), std::string::npos);
  EXPECT_EQ(html.find("任务已取消"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir / "previews"));
}

// One card from real previews: a photo stored on its side (orientation 6)
// shows upright, its crop and people boxes sit in display space, and the
// sharpness block carries the verdict with a grayscale focus close-up.
TEST_F(ReportPageTest, CardFromRealPreviews) {
  KESTREL_REQUIRE_TEST_DATA(data);
  RunSummary s = testing::syntheticRun();
  s.configuration.input = dir / "in";
  s.configuration.previewCount = 1;
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "photos");
  for (const fs::path& to : {dir / "in" / "p.jpg", dir / "photos" / "p.jpg"}) {
    fs::copy_file(data / "variants/0057-IMG_0080/orient6.jpg", to);
  }
  FileResult& r = s.files.at(0);  // cropped, sharp, with a face region
  r.relativePath = "p.jpg";
  r.info = JPEGInfo{4704, 5760, 16, 16, 2};
  r.orientation = 6;
  r.decision->crop = PixelRect{16, 0, 4000, 4896};  // raw x 0.0034…, display x 0.15…
  s.files = {r};
  const std::string html = render(s);
  const auto size = [](const fs::path& jpeg) {
    const ImageSource source = ImagePreparation::source(readFile(jpeg));
    return std::pair(source.storedWidth, source.storedHeight);
  };
  EXPECT_EQ(size(dir / "previews" / "0-before.jpg"), std::pair(1000, 817));  // upright
  EXPECT_TRUE(fs::exists(dir / "previews" / "0-focus.jpg"));
  EXPECT_NE(html.find("<div class=\"box crop\" style=\"left:15.0"), std::string::npos);
  EXPECT_NE(html.find("<span>人物 0.90</span>"), std::string::npos);
  EXPECT_NE(
      html.find("主体清晰 · face · 细节响应 12.50 · 高频比 0.31<br>主体局部细节通过清晰度检查"),
      std::string::npos);
  EXPECT_NE(html.find("src=\"previews/0-focus.jpg\""), std::string::npos);
}

}  // namespace
}  // namespace kestrel
