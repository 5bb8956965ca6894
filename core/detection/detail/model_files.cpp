// SPDX-License-Identifier: MIT
#include "core/detection/detail/model_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <system_error>

#include "core/base/file_io.h"

namespace kestrel::detail {

namespace {

// The system's text for the failure, after what Kestrel was doing.
[[noreturn]] void fail(const char* what, const std::filesystem::path& path,
                       const std::system_error& error) {
  throw std::system_error(error.code(), std::string(what) + path.string());
}

}  // namespace

std::string readWholeFile(const std::filesystem::path& path) {
  try {
    return std::string(readFile(path).view());
  } catch (const std::system_error& error) {
    fail("无法读取模型文件 ", path, error);
  }
}

std::vector<std::string> parseLabels(std::string_view text) {
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
      line.remove_prefix(1);
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
      line.remove_suffix(1);
    }
    if (!line.empty()) labels.emplace_back(line);
  }
  return labels;
}

}  // namespace kestrel::detail
