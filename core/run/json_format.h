// SPDX-License-Identifier: MIT
// How Kestrel writes JSON text, file URLs and time stamps.
#pragma once

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestrel {

// Pretty-printed JSON with the keys of every object sorted, non-ASCII text
// written as itself, "/" not escaped, and a final line feed. Bytes that are
// not UTF-8 (possible in Linux file names) become U+FFFD as validUTF8 makes
// them, so the JSON shows a name as the other reports do. Throws
// std::domain_error for a non-finite number, which JSON cannot represent.
std::string dumpJSON(const nlohmann::json& value);

// "file://" + the percent-encoded absolute path, with a trailing "/" for a folder.
std::string fileURL(const std::filesystem::path& path, bool isDirectory);
// The path of a "file://" URL; throws std::invalid_argument for anything else.
std::filesystem::path pathFromFileURL(std::string_view url);

// ISO 8601 in UTC with whole seconds and a "Z", e.g. 2026-04-05T08:30:15Z.
std::string iso8601(std::chrono::system_clock::time_point time);
// Parses that form; throws std::invalid_argument.
std::chrono::system_clock::time_point parseISO8601(std::string_view text);

}  // namespace kestrel
