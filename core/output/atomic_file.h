// SPDX-License-Identifier: MIT
// Writing a file so that readers see either the old or the complete new one.
#pragma once

#include <filesystem>
#include <string_view>

namespace kestrel {

// Writes `content` to a hidden temporary file beside `path`, flushes it to
// disk, and renames it over `path` in one step. With `syncFolder` the folder
// is flushed too, so the rename itself survives a power cut. Throws
// std::system_error with the system's text; the temporary file is removed on
// failure.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                         bool syncFolder = false);

// A UUID in its canonical upper-case text form (libuuid, random).
std::string randomUUIDText();

}  // namespace kestrel
