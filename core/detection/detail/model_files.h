// SPDX-License-Identifier: MIT
// Whole-file reads and writes for model files, with the system's error
// text. Internal to core/detection.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::detail {

// Throws std::system_error "无法读取模型文件 <path>: <reason>".
std::string readWholeFile(const std::filesystem::path& path);

// One class name per line; surrounding blanks and empty lines are dropped.
std::vector<std::string> parseLabels(std::string_view text);

}  // namespace kestrel::detail
