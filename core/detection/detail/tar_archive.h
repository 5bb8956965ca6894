// SPDX-License-Identifier: MIT
// Reading the files of an uncompressed tar archive held in memory (the form
// of a single-file model package), through libarchive. Internal to
// core/detection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::tar {

struct Entry {
  std::string path;  // as stored
  std::string data;
};

// The regular files of the archive in stored order; directories, links and
// extended headers are skipped. A damaged archive (a bad header checksum,
// an entry running past the end, anything that is not a tar archive)
// throws std::runtime_error with libarchive's description.
std::vector<Entry> readEntries(std::string_view archive);

// The last path component of an entry ("./a/model.cfg" → "model.cfg").
std::string_view baseName(std::string_view path);

}  // namespace kestrel::tar
