// SPDX-License-Identifier: MIT
// The run's state as the operator sees it: the phase, its title, and the
// lines the result section prints from a progress snapshot or a summary.
#pragma once

#include <QString>
#include <optional>

#include "core/run/run_summary.h"

namespace kestrel {

// Declared in the order the run goes through them; comparisons rely on it.
enum class TaskPhase { idle, preparing, processing, reporting, completed, cancelled, failed };

// The heading of the result section for a phase.
QString statusTitle(TaskPhase phase, bool stopping, bool hasInput,
                    const std::optional<RunSummary>& summary);

// The message shown once a run has returned its summary.
QString finishedMessage(const RunSummary& summary);

// "{completed} / {total} 张"
QString progressCountLine(const BatchProgress& progress);
// "裁剪 …  ·  过滤 …  ·  待复核 …  ·  失败 …"
QString progressStatusLine(const BatchProgress& progress);
// "处理 … 秒  ·  … 张/秒  ·  预览 … 秒"; the rate never divides by zero.
QString summaryTimingLine(const RunSummary& summary);

}  // namespace kestrel
