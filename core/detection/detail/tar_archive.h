// SPDX-License-Identifier: MIT
// A reader for uncompressed POSIX (ustar) tar archives held in memory: the
// form of a single-file model package. Internal to core/detection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::tar {

struct Entry {
  std::string path;       // as stored, prefix and name joined with '/'
  std::string_view data;  // points into the archive passed to readEntries
};

// The regular files of the archive in stored order; directories, links and
// extended headers are skipped. Every header's checksum and every size is
// checked against the archive's bounds; a damaged archive throws
// std::runtime_error saying which entry is at fault. Reading stops at the
// first all-zero block or at the end of the data.
std::vector<Entry> readEntries(std::string_view archive);

// The last path component of an entry ("./a/model.cfg" → "model.cfg").
std::string_view baseName(std::string_view path);

}  // namespace kestrel::tar
