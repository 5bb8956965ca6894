// SPDX-License-Identifier: MIT
#include "core/run/output_root.h"

#include <cstdlib>

namespace kestrel {

std::filesystem::path defaultOutputRoot() {
  if (const char* pictures = std::getenv("XDG_PICTURES_DIR"); pictures && *pictures) {
    return std::filesystem::path(pictures) / "KestrelResults";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home ? home : ".") / "Pictures" / "KestrelResults";
}

}  // namespace kestrel
