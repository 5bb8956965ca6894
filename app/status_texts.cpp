// SPDX-License-Identifier: MIT
#include "app/status_texts.h"

#include <algorithm>

#include "core/base/text.h"

namespace kestrel {

namespace {

QString decimal(double value, int digits) {
  return QString::fromStdString(decimalText(value, digits));
}

}  // namespace

QString statusTitle(TaskPhase phase, bool stopping, bool hasInput,
                    const std::optional<RunSummary>& summary) {
  switch (phase) {
    case TaskPhase::idle:
      return hasInput ? QStringLiteral("照片已就绪") : QStringLiteral("等待选择照片");
    case TaskPhase::preparing:
      return QStringLiteral("正在准备照片");
    case TaskPhase::processing:
      return stopping ? QStringLiteral("正在停止") : QStringLiteral("正在处理照片");
    case TaskPhase::reporting:
      return stopping ? QStringLiteral("正在保存已完成结果") : QStringLiteral("正在生成对比报告");
    case TaskPhase::completed:
      return summary && summary->counts.failed == 0 ? QStringLiteral("处理完成")
                                                    : QStringLiteral("处理完成，部分照片未成功");
    case TaskPhase::cancelled:
      return QStringLiteral("已停止，完成的结果已保留");
    case TaskPhase::failed:
      return QStringLiteral("本次处理未完成");
  }
  return {};
}

QString finishedMessage(const RunSummary& summary) {
  if (summary.cancelled) return QStringLiteral("已完成照片与报告保留，可打开结果查看。");
  if (summary.counts.failed == 0) {
    return QStringLiteral("可以查看构图效果，再将可交付照片交给上传工具。");
  }
  return QStringLiteral("请在报告中查看未成功文件的原因。");
}

QString progressCountLine(const BatchProgress& progress) {
  return QStringLiteral("%1 / %2 张").arg(progress.completed).arg(progress.total);
}

QString progressStatusLine(const BatchProgress& progress) {
  const StatusCounts& n = progress.counts;
  return QStringLiteral("裁剪 %1  ·  过滤 %2  ·  待复核 %3  ·  失败 %4")
      .arg(n.cropped)
      .arg(n.filtered)
      .arg(n.review)
      .arg(n.failed);
}

QString summaryTimingLine(const RunSummary& summary) {
  constexpr double kShortestDuration = 0.000001;
  const double rate = static_cast<double>(summary.processed) /
                      std::max(summary.processingSeconds, kShortestDuration);
  return QStringLiteral("处理 %1 秒  ·  %2 张/秒  ·  预览 %3 秒")
      .arg(decimal(summary.processingSeconds, 2), decimal(rate, 1),
           decimal(summary.reportSeconds, 2));
}

}  // namespace kestrel
