// SPDX-License-Identifier: MIT
// ReportWriter: the files a finished run leaves in its batch directory.
//
// report.html with its previews/ folder first, then the machine-readable
// summary.json (every per-file result), statistics.json (headline figures)
// and files.csv (one line per file). Every file is written atomically.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/run/run_summary.h"

namespace kestrel::ReportWriter {

// Writes summary.json, statistics.json, files.csv and bibs.csv into the run
// directory, in that order; throws the first encoding or writing error.
void writeData(const RunSummary& summary);

// Writes previews/ and report.html into the run directory. Throws when the
// folder cannot be created or the page cannot be written; a failed preview
// only changes its card.
void writePreviewsAndHTML(const RunSummary& summary);

// The texts of the three data files, as written.
std::string summaryJSON(const RunSummary& summary);
std::string statisticsJSON(const RunSummary& summary);
std::string filesCSV(const RunSummary& summary);
// One line per race number and photo ("bib,relative_path,destination,
// confidence"), in number order (951 before 1432), then by path; just the
// header when no number was read, so that scripts always find the file.
std::string bibsCSV(const RunSummary& summary);

// At most `count` items picked evenly across `items`, first and last included.
std::vector<FileResult> spread(const std::vector<FileResult>& items, std::int64_t count);
// The sampled results shown as cards, in card order.
std::vector<FileResult> sample(const std::vector<FileResult>& files, std::int64_t count);

// The overlay markup of one display-space box.
std::string boxHTML(const Box& box, std::string_view kind, std::string_view label);
// HTML-escapes & < > " '.
std::string escape(std::string_view text);

}  // namespace kestrel::ReportWriter
