// SPDX-License-Identifier: MIT
// report.html and its previews: a self-contained page for spot-checking a batch.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <set>

#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/base/text.h"
#include "core/base/version.h"
#include "core/jpeg/previews.h"
#include "core/output/report_writer.h"

namespace kestrel::ReportWriter {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStyle = R"CSS(
*{box-sizing:border-box}
body{margin:0;background:#F5F6F2;color:#152B2A;font:15px/1.5 system-ui,-apple-system,"Segoe UI","Noto Sans CJK SC","PingFang SC",sans-serif}
main{max-width:1280px;margin:0 auto;padding:32px 24px 48px}
a,button{color:#C94721}
.brand{display:flex;align-items:center;gap:10px;font-size:20px;font-weight:700}
.brand svg{width:32px;height:32px}
.brand small{font-size:13px;font-weight:400;color:#56665C}
.eyebrow{color:#C94721;font-size:12px;letter-spacing:.12em;font-weight:600;margin-top:18px}
h1{margin:4px 0 12px;font-size:30px}
.metrics{display:grid;grid-template-columns:repeat(4,1fr);gap:14px;margin:20px 0}
.metric,article,.details{background:#fff;border:1px solid #DDE4DA;border-radius:14px;padding:22px}
.metric strong{display:block;font-size:26px}
.metric span{color:#56665C;font-size:13px}
.notice{border-left:3px solid #d39b3a;background:#fffbf2;padding:10px 14px;margin:10px 0}
.details{display:grid;grid-template-columns:1fr 1fr;gap:28px;margin:18px 0}
.details h2{margin-top:0;font-size:17px}
table{border-collapse:collapse;width:100%}
td{padding:4px 0;border-bottom:1px solid #DDE4DA}
td:last-child{text-align:right;font-variant-numeric:tabular-nums}
.buttons{display:flex;flex-wrap:wrap;gap:8px;margin:12px 0 18px}
button{background:#fff;border:1px solid #C94721;border-radius:999px;padding:6px 14px;font:inherit;cursor:pointer}
article{margin:16px 0}
.cardhead{display:flex;justify-content:space-between;align-items:center;gap:12px}
.cardhead h3{margin:0;font-size:16px;word-break:break-all}
.pill{display:inline-block;border-radius:999px;padding:2px 10px;font-size:12px;background:#edf0ed;white-space:nowrap}
.pill.cropped{background:#e4f2e8;color:#286840}
.pill.filtered{background:#ffe5e0;color:#a33e2f}
.pill.review{background:#fff2d4;color:#805c19}
.pair{display:grid;grid-template-columns:1fr 1fr;gap:16px}
figure{margin:0}
figcaption{font-size:12px;color:#56665C;margin-top:6px}
.frame{position:relative}
.frame img{display:block;width:100%;height:auto}
.box{position:absolute;border:1px solid #f5c65d}
.box span{position:absolute;left:0;top:0;background:#f5c65d;color:#152B2A;font-size:11px;padding:0 4px;white-space:nowrap}
.box.crop{border:2px solid #32b878}
.box.crop span{background:#32b878;color:#fff}
.box.focus{border-color:#54c3df}
.box.focus span{background:#54c3df}
.box.bib{border:2px solid #C94721}
.box.bib span{background:#C94721;color:#fff;top:auto;bottom:100%}
.bibs{display:flex;flex-wrap:wrap;align-items:center;gap:6px;margin:0 0 10px}
.bibno{display:inline-block;border:1px solid #C94721;border-radius:6px;padding:0 8px;font-weight:600;font-variant-numeric:tabular-nums;color:#C94721;background:#fff}
.search{display:flex;align-items:center;gap:8px;margin:0 0 18px}
.search input{font:inherit;border:1px solid #DDE4DA;border-radius:999px;padding:6px 14px;width:220px}
.search span{color:#56665C;font-size:13px}
.hide-boxes .box{display:none}
.error{color:#b94736}
.small{font-size:12px}
.focus-detail{max-width:300px;max-height:300px;display:block;margin:8px 0}
footer{margin-top:28px;color:#56665C}
@media (max-width:700px){.metrics{grid-template-columns:repeat(2,1fr)}.details,.pair{grid-template-columns:1fr}}
)CSS";

constexpr std::string_view kLogo =
    R"(<svg viewBox="0 0 32 32" aria-hidden="true"><path fill="#C94721" d="M3 3h12v4H7v8H3z"/>)"
    R"(<path fill="#C94721" d="M29 29H17v-4h8v-8h4z"/></svg>)";

// The status buttons and the bib search narrow the cards together: a card
// shows when it has the chosen status and, with a number typed, carries
// exactly that number.
constexpr std::string_view kScript =
    "<script>\n"
    "var cardStatus='all';\n"
    "function showCards(){var field=document.getElementById('bib-search');"
    "var wanted=field?field.value.trim():'';var shown=0;"
    "document.querySelectorAll('article').forEach(function(card){"
    "var bibs=(card.dataset.bibs||'').split(' ');"
    "var show=(cardStatus==='all'||card.dataset.status===cardStatus)&&"
    "(wanted===''||bibs.indexOf(wanted)>=0);"
    "card.style.display=show?'':'none';if(show)shown++;});"
    "var count=document.getElementById('bib-count');"
    "if(count)count.textContent=wanted===''?'':'找到 '+shown+' 张';}\n"
    "function filterCards(status){cardStatus=status;showCards();}\n"
    "</script>\n";

// Shortest round-trip form that always shows a fractional part: 12.5, 0.0, 100.0.
std::string coordinate(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::string_view statusLabel(FileStatus status) {
  switch (status) {
    case FileStatus::cropped:
      return "已裁剪";
    case FileStatus::unchanged:
      return "保留原构图";
    case FileStatus::filtered:
      return "已过滤";
    case FileStatus::review:
      return "待复核";
    case FileStatus::failed:
      break;
  }
  return rawValue(status);
}

std::string errorDescription(const std::exception& error) { return error.what(); }

struct Stage {
  std::string_view label;
  double StageTimes::*field;
};
constexpr Stage kStages[] = {
    {"读取", &StageTimes::read},
    {"头信息", &StageTimes::header},
    {"小图解码", &StageTimes::thumbnail},
    {"人物识别", &StageTimes::inference},
    {"主体清晰度", &StageTimes::sharpness},
    {"号码布识别", &StageTimes::bibs},
    {"构图计算", &StageTimes::planning},
    {"无损裁剪/元数据", &StageTimes::transform},
    {"文件写入", &StageTimes::write},
};

// A card's race numbers: the attribute the search reads ("951 680") and the
// line that shows them; both empty without numbers.
struct BibMarkup {
  std::string attribute;
  std::string chips;
};

BibMarkup bibMarkup(const FileResult& r) {
  if (r.bibs.empty()) return {};
  std::string numbers, chips;
  for (const Bib& bib : r.bibs) {
    numbers += (numbers.empty() ? "" : " ") + bib.number;
    chips += "<span class=\"bibno\">" + escape(bib.number) + "</span>";
  }
  return {" data-bibs=\"" + escape(numbers) + "\"", "<p class=\"bibs\">号码布 " + chips + "</p>"};
}

class CardBuilder {
 public:
  explicit CardBuilder(const RunSummary& summary) : summary_(summary) {}

  std::string card(const FileResult& r) const {
    const std::string title = "<h3>" + escape(r.relativePath) + "</h3>";
    if (r.error) {
      return "<article>" + title + "<p class=\"error\">" + escape(*r.error) + "</p></article>\n";
    }
    const BibMarkup bibs = bibMarkup(r);
    const std::string index = std::to_string(r.index);
    const fs::path input = summary_.configuration.input / r.relativePath;
    const fs::path output =
        summary_.runDirectory / std::string(r.destinationFolder()) / r.relativePath;
    try {
      preview(input, previews() / (index + "-before.jpg"));
      preview(output, previews() / (index + "-after.jpg"));
    } catch (const std::exception& error) {
      return "<article" + bibs.attribute + ">" + title + bibs.chips + "<p>预览失败：" +
             escape(errorDescription(error)) + "</p></article>\n";
    }

    std::string overlay;
    const std::string sharpnessBlock = sharpness(r, overlay);
    if (r.info && r.decision) {
      for (const Person& person : r.decision->people) {
        overlay += boxHTML(person.box, "person", "人物 " + decimalText(person.confidence, 2));
      }
      for (const Bib& bib : r.bibs) overlay += boxHTML(bib.box, "bib", bib.number);
      if (r.decision->crop) {
        const Box raw = r.decision->crop->normalized(r.info->width, r.info->height);
        overlay += boxHTML(EXIFOrientation::rawToDisplay(raw, static_cast<int>(r.orientation)),
                           "crop", "裁剪范围");
      }
    }

    std::string size;
    double trim = 0;
    if (r.info) {
      std::int64_t w = r.info->width, h = r.info->height;
      if (r.decision && r.decision->crop) w = r.decision->crop->width, h = r.decision->crop->height;
      size = std::to_string(r.info->width) + "×" + std::to_string(r.info->height) + " → " +
             std::to_string(w) + "×" + std::to_string(h);
      trim = (1 - static_cast<double>(w) / static_cast<double>(r.info->width)) * 100;
    }
    const std::string status(rawValue(r.status()));
    const std::string label(statusLabel(r.status()));
    std::string html = "<article data-status=\"" + escape(status) + "\"" + bibs.attribute + ">";
    html += "<div class=\"cardhead\">" + title + "<span class=\"pill " + escape(status) + "\">" +
            escape(label) + "</span></div>";
    html += "<p>" + escape(r.decision ? r.decision->reason : "") + " · " + size + " · 实际裁幅 " +
            decimalText(trim, 2) + "% · " + decimalText(r.elapsedSeconds * 1000, 2) + " ms</p>";
    html += bibs.chips;
    html += sharpnessBlock;
    html += "<div class=\"pair\"><figure><div class=\"frame\"><img src=\"previews/" + index +
            "-before.jpg\" loading=\"lazy\" alt=\"\">" + overlay +
            "</div><figcaption>原图 · 绿框为裁剪范围，黄框为检测人物</figcaption></figure>";
    html += "<figure><div class=\"frame\"><img src=\"previews/" + index +
            "-after.jpg\" loading=\"lazy\" alt=\"\"></div><figcaption>" + escape(label) +
            " · 完整文件位于 " + std::string(r.destinationFolder()) +
            "/</figcaption></figure></div>";
    html += "</article>\n";
    return html;
  }

 private:
  fs::path previews() const { return summary_.runDirectory / "previews"; }

  // The sharpness paragraph, plus the focus close-up; adds the focus box to `overlay`.
  std::string sharpness(const FileResult& r, std::string& overlay) const {
    if (!r.sharpness) return "";
    const SharpnessAssessment& s = *r.sharpness;
    const std::string& reason = r.filteredReason ? *r.filteredReason
                                : r.reviewReason ? *r.reviewReason
                                                 : s.reason;
    std::string html = "<p class=\"small\">" + escape(s.label()) + " · " + escape(s.regionKind) +
                       " · 细节响应 " + decimalText(s.metrics.laplacianVariance, 2) + " · 高频比 " +
                       decimalText(s.metrics.highFrequencyRatio, 2) + "<br>" + escape(reason) +
                       "</p>";
    if (!s.region) return html;
    overlay += boxHTML(*s.region, "focus", "判焦区域");
    const std::string name = std::to_string(r.index) + "-focus.jpg";
    try {
      focusPreview(summary_.configuration.input / r.relativePath, previews() / name, *s.region,
                   static_cast<int>(r.orientation));
      html +=
          "<details><summary>查看主体局部</summary><img class=\"focus-detail\" src=\"previews/" +
          name +
          "\" loading=\"lazy\" alt=\"\"><p class=\"small\">主体灰度局部，仅供复核；不改变输出照片。"
          "</p></details>";
    } catch (const std::exception&) {
      html += "<p class=\"small\">主体局部预览无法生成</p>";
    }
    return html;
  }

  const RunSummary& summary_;
};

std::string timingTable(const RunSummary& s) {
  std::string rows;
  for (const Stage& stage : kStages) {
    double sum = 0;
    for (const FileResult& r : s.files) sum += r.timings.*stage.field;
    const double average = sum * 1000 / static_cast<double>(std::max<std::int64_t>(s.processed, 1));
    rows += "<tr><td>" + std::string(stage.label) + "</td><td>" + decimalText(average, 2) +
            " ms</td></tr>";
  }
  return "<table>" + rows + "</table>";
}

std::string page(const RunSummary& s, const std::string& cards) {
  const BatchConfiguration& c = s.configuration;
  const bool automatic = c.mode == ProcessingMode::automatic;
  const std::string mode(rawValue(c.mode));
  std::string html =
      "<!doctype html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>隼影 · 批处理报告</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n<main>\n";
  html += "<div class=\"brand\">" + std::string(kLogo) + "隼影 <small>" +
          std::string(kReleaseVersion) + " · 马拉松照片自动构图</small></div>\n";
  html += "<div class=\"eyebrow\">MARATHON PHOTO WORKFLOW</div>\n<h1>照片处理报告</h1>\n";
  html +=
      "<p>" + escape(c.datasetLabel) + "<br>" + escape(s.machine) + " · " + escape(s.os) + "</p>\n";

  html += "<div class=\"metrics\">";
  const auto metric = [](const std::string& value, const std::string& caption) {
    return "<div class=\"metric\"><strong>" + value + "</strong><span>" + caption + "</span></div>";
  };
  html +=
      metric(std::to_string(s.processed), "已处理 / 发现 " + std::to_string(s.discovered) + " 张");
  html += metric(decimalText(s.imagesPerSecond(), 2), "张/秒 · 含读写");
  html += metric(decimalText(s.processingSeconds, 2) + " s", "批处理墙钟时间");
  const StatusCounts& n = s.counts;
  html += metric(std::to_string(n.cropped) + " / " + std::to_string(n.unchanged),
                 "裁剪 / 保留 · 过滤 " + std::to_string(n.filtered) + " · 待复核 " +
                     std::to_string(n.review) + " · 失败 " + std::to_string(n.failed));
  html += "</div>\n";

  html += "<p class=\"notice\">";
  html += automatic ? "此批使用真实 YOLO 人物检测。框可能漏检或不准，请抽查手脚、号码布及其他跑者。"
                    : "这是 " + mode + " 基准模式，未运行 AI；不代表自动构图效果。";
  html += " 原片未修改。此工具不负责平台上传、SD 卡备份或安全弹卡。";
  if (s.cancelled) html += "任务已取消；已完成结果保留。";
  html += "</p>\n<p class=\"notice\">";
  html += automatic ? "交付照片至少保留 " +
                          decimalText(static_cast<double>(c.minimumPixelCount) / 1'000'000, 2) +
                          " 百万像素。清晰度只检查主体局部，采用固定尺度灰度细节的启发式指标，不是"
                          "相机AF记录或校准准确率。"
                          "明显模糊放入 filtered/，低纹理/无法可靠判断的放入 "
                          "review/，都保留原片副本，不删除。"
                          "多人场景会检查其他主要跑者。"
                    : "引擎基准未检查主体清晰度，copy "
                      "模式也不执行交付像素筛选。请勿将本基准输出当作经过质量筛选的交付照片。";
  html += "</p>\n";

  html +=
      "<div class=\"details\"><div><h2>计时口径</h2><p>模式：" + mode + " · 并发：" +
      std::to_string(c.workers) + "<br>最大缩短长边：" +
      std::to_string(std::llround(c.maximumTrim * 100)) + "% · 最低长边：" +
      std::to_string(c.minimumLongEdge) + " px<br>模型准备与预热：" +
      decimalText(s.modelStartupSeconds, 2) + " s<br>首份输出（含启动）：" +
      (s.firstOutputSeconds ? decimalText(*s.firstOutputSeconds, 2) : std::string("—")) +
      " s<br>单张 P50 / P95：" + decimalText(s.p50FileMilliseconds, 2) + " / " +
      decimalText(s.p95FileMilliseconds, 2) +
      " ms</p><p class=\"small\">预览另行生成，不计入上方批处理速度。精确耗时见 statistics.json。"
      "阶段均值是每文件工作时间，并发时不等于墙钟时间；未强制刷盘，缓存可能影响速度。"
      "测试数据、输入分辨率和首次/重复运行须一起比较。</p></div>";
  html += "<div><h2>每文件平均耗时</h2>" + timingTable(s) + "</div></div>\n";

  html += "<h2>裁剪前后对比</h2>\n<p>最多展示 " + std::to_string(c.previewCount) +
          " 张，在整批中分散选取，优先展示裁剪样本，辅以保留样本；此抽样不用于估算准确率。</p>\n";
  html +=
      "<div class=\"buttons\">"
      "<button type=\"button\" onclick=\"document.body.classList.toggle('hide-boxes')\">显示 / "
      "隐藏框线</button>"
      "<button type=\"button\" onclick=\"filterCards('all')\">全部</button>"
      "<button type=\"button\" onclick=\"filterCards('cropped')\">仅裁剪</button>"
      "<button type=\"button\" onclick=\"filterCards('unchanged')\">仅保留</button>"
      "<button type=\"button\" onclick=\"filterCards('filtered')\">已过滤</button>"
      "<button type=\"button\" onclick=\"filterCards('review')\">待复核</button></div>\n";
  if (automatic && c.readBibs) {
    html +=
        "<div class=\"search\"><input type=\"search\" id=\"bib-search\" inputmode=\"numeric\" "
        "placeholder=\"按号码布查找\" aria-label=\"按号码布查找\" oninput=\"showCards()\">"
        "<span id=\"bib-count\"></span></div>\n";
  }
  html += cards;
  html +=
      "<footer>照片完全在本机处理。完整明细：<a href=\"files.csv\">files.csv</a> · "
      "<a href=\"summary.json\">summary.json</a> · <a href=\"statistics.json\">statistics.json</a>"
      " · <a href=\"bibs.csv\">bibs.csv</a>"
      "</footer>\n</main>\n";
  html += kScript;
  html += "</body>\n</html>\n";
  return html;
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string boxHTML(const Box& box, std::string_view kind, std::string_view label) {
  return "<div class=\"box " + std::string(kind) + "\" style=\"left:" + coordinate(box.x * 100) +
         "%;top:" + coordinate(box.y * 100) + "%;width:" + coordinate(box.width * 100) +
         "%;height:" + coordinate(box.height * 100) + "%\"><span>" + escape(label) +
         "</span></div>";
}

std::vector<FileResult> spread(const std::vector<FileResult>& items, std::int64_t count) {
  const auto n = static_cast<std::int64_t>(items.size());
  const std::int64_t k = std::min(n, count);
  if (k < 1) return {};
  if (k == 1) return {items[static_cast<std::size_t>(n / 2)]};
  std::vector<FileResult> picked;
  for (std::int64_t i = 0; i < k; ++i) {
    // Integer arithmetic, halves rounded away from zero.
    const std::int64_t numerator = (n - 1) * i;
    const std::int64_t position = (2 * numerator + (k - 1)) / (2 * (k - 1));
    picked.push_back(items[static_cast<std::size_t>(position)]);
  }
  return picked;
}

std::vector<FileResult> sample(const std::vector<FileResult>& files, std::int64_t count) {
  std::vector<FileResult> cropped, others;
  for (const FileResult& r : files) {
    (r.status() == FileStatus::cropped ? cropped : others).push_back(r);
  }
  const std::int64_t q = (2 * count) / 3;
  std::vector<FileResult> picked = spread(cropped, q);
  for (FileResult& r : spread(others, count - q)) picked.push_back(std::move(r));
  std::set<std::int64_t> taken;
  for (const FileResult& r : picked) taken.insert(r.index);
  for (const FileResult& r : files) {
    if (static_cast<std::int64_t>(picked.size()) >= count) break;
    if (taken.insert(r.index).second) picked.push_back(r);
  }
  return picked;
}

void writePreviewsAndHTML(const RunSummary& summary) {
  createFoldersBelow(summary.runDirectory, "previews");
  const CardBuilder builder(summary);
  std::string cards;
  for (const FileResult& r : sample(summary.files, summary.configuration.previewCount)) {
    cards += builder.card(r);
  }
  replaceFileAtomically(summary.runDirectory / "report.html", validUTF8(page(summary, cards)));
}

}  // namespace kestrel::ReportWriter
