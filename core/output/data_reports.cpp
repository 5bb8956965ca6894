// SPDX-License-Identifier: MIT
// summary.json, statistics.json and files.csv.
#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"
#include "core/base/text.h"
#include "core/output/report_writer.h"
#include "core/run/json_format.h"
#include "core/run/record_json.h"

namespace kestrel::ReportWriter {

namespace {

constexpr std::string_view kStatisticsNote =
    "处理计时含读取、检测、裁剪和文件写入；模型启动与预览另计。未强制刷盘，操作系统文件缓存可能影响"
    "结果。";

constexpr std::string_view kCSVHeader =
    "index,file,status,input_bytes,output_bytes,input_width,input_height,orientation,crop_x,"
    "crop_y,crop_width,crop_height,read_ms,header_ms,thumbnail_ms,inference_ms,planning_ms,"
    "transform_ms,write_ms,total_ms,reason,error,destination_folder,trim_percent,"
    "output_megapixels,sharpness_verdict,sharpness_roi,laplacian_variance,gradient_energy,"
    "high_frequency_ratio,contrast,sharpness_ms,quality_reason\n";

constexpr std::string_view kBibsCSVHeader = "bib,relative_path,destination,confidence\n";

std::string csvQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string csvQuotedOptional(const std::optional<std::string>& text) {
  return csvQuoted(text ? std::string_view(*text) : std::string_view());
}

std::string milliseconds(double seconds) { return decimalText(seconds * 1000, 2); }

// Size of what was written for a result: the crop, else the original.
std::pair<std::int64_t, std::int64_t> outputSize(const FileResult& r) {
  if (r.decision && r.decision->crop) return {r.decision->crop->width, r.decision->crop->height};
  if (r.info) return {r.info->width, r.info->height};
  return {0, 0};
}

std::string csvLine(const FileResult& r) {
  std::vector<std::string> cells;
  cells.reserve(33);
  cells.push_back(std::to_string(r.index));
  cells.push_back(csvQuoted(r.relativePath));
  cells.emplace_back(rawValue(r.status()));
  cells.push_back(std::to_string(r.inputBytes));
  cells.push_back(std::to_string(r.outputBytes));
  cells.push_back(r.info ? std::to_string(r.info->width) : "");
  cells.push_back(r.info ? std::to_string(r.info->height) : "");
  cells.push_back(std::to_string(r.orientation));
  const std::optional<PixelRect> crop = r.decision ? r.decision->crop : std::nullopt;
  for (std::int64_t value :
       {crop ? crop->x : 0, crop ? crop->y : 0, crop ? crop->width : 0, crop ? crop->height : 0}) {
    cells.push_back(crop ? std::to_string(value) : "");
  }
  for (double seconds :
       {r.timings.read, r.timings.header, r.timings.thumbnail, r.timings.inference,
        r.timings.planning, r.timings.transform, r.timings.write, r.elapsedSeconds}) {
    cells.push_back(milliseconds(seconds));
  }
  cells.push_back(csvQuoted(r.decision ? std::string_view(r.decision->reason) : ""));
  cells.push_back(csvQuotedOptional(r.error));
  cells.emplace_back(r.destinationFolder());

  const auto [w, h] = outputSize(r);
  const double trim =
      r.info ? (1 - static_cast<double>(w) / static_cast<double>(r.info->width)) * 100 : 0;
  cells.push_back(decimalText(trim, 2));
  cells.push_back(decimalText(static_cast<double>(h * w) / 1'000'000, 2));

  const auto& s = r.sharpness;
  cells.push_back(s ? std::string(rawValue(s->verdict)) : "not-assessed");
  cells.push_back(s ? s->regionKind : "");
  const FocusMetrics m = s ? s->metrics : FocusMetrics{};
  for (double measure : {m.laplacianVariance, m.gradientEnergy, m.highFrequencyRatio, m.contrast}) {
    cells.push_back(decimalText(measure, 2));
  }
  cells.push_back(milliseconds(r.timings.sharpness));
  if (r.filteredReason) {
    cells.push_back(csvQuotedOptional(r.filteredReason));
  } else if (r.reviewReason) {
    cells.push_back(csvQuotedOptional(r.reviewReason));
  } else {
    cells.push_back(csvQuoted(s ? std::string_view(s->reason) : ""));
  }

  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += ',';
    line += cells[i];
  }
  line += '\n';
  return line;
}

}  // namespace

std::string summaryJSON(const RunSummary& summary) { return dumpJSON(nlohmann::json(summary)); }

std::string statisticsJSON(const RunSummary& s) {
  const nlohmann::json statistics = {
      {"images_per_second", s.imagesPerSecond()},
      {"processing_seconds", s.processingSeconds},
      {"startup_seconds", s.modelStartupSeconds},
      {"scan_seconds", s.scanSeconds},
      {"preview_report_seconds", s.reportSeconds},
      {"end_to_end_seconds",
       s.processingSeconds + (s.modelStartupSeconds + s.scanSeconds) + s.reportSeconds},
      {"processed", s.processed},
      {"cropped", s.counts.cropped},
      {"unchanged", s.counts.unchanged},
      {"filtered", s.counts.filtered},
      {"review", s.counts.review},
      {"failed", s.counts.failed},
      {"p50_file_ms", s.p50FileMilliseconds},
      {"p95_file_ms", s.p95FileMilliseconds},
      {"input_bytes", s.inputBytes},
      {"output_bytes", s.outputBytes},
      {"note", kStatisticsNote},
  };
  return dumpJSON(statistics);
}

std::string filesCSV(const RunSummary& summary) {
  std::string csv(kCSVHeader);
  for (const FileResult& result : summary.files) csv += csvLine(result);
  return validUTF8(csv);
}

std::string bibsCSV(const RunSummary& summary) {
  struct Row {
    const Bib* bib;
    const FileResult* file;
  };
  std::vector<Row> rows;
  for (const FileResult& file : summary.files) {
    if (file.error) continue;  // never delivered, nothing to find it by
    for (const Bib& bib : file.bibs) rows.push_back({&bib, &file});
  }
  // Numbers in numeric order: without leading zeros a shorter one is smaller.
  const auto value = [](const std::string& n) {
    const std::size_t first = std::min(n.find_first_not_of('0'), n.size());
    return std::pair<std::size_t, std::string_view>{n.size() - first,
                                                    std::string_view(n).substr(first)};
  };
  std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    const auto va = value(a.bib->number), vb = value(b.bib->number);
    if (va != vb) return va < vb;
    if (a.bib->number != b.bib->number) return a.bib->number < b.bib->number;
    return a.file->relativePath < b.file->relativePath;
  });
  std::string csv(kBibsCSVHeader);
  for (const Row& row : rows) {
    csv += row.bib->number + ',' + csvQuoted(row.file->relativePath) + ',' +
           std::string(row.file->destinationFolder()) + ',' + decimalText(row.bib->confidence, 2) +
           '\n';
  }
  return validUTF8(csv);
}

void writeData(const RunSummary& summary) {
  const std::string summaryText =
      summaryJSON(summary);  // encoding fails before anything is written
  replaceFileAtomically(summary.runDirectory / "summary.json", summaryText);
  replaceFileAtomically(summary.runDirectory / "statistics.json", statisticsJSON(summary));
  replaceFileAtomically(summary.runDirectory / "files.csv", filesCSV(summary));
  replaceFileAtomically(summary.runDirectory / "bibs.csv", bibsCSV(summary));
}

}  // namespace kestrel::ReportWriter
