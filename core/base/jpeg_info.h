// SPDX-License-Identifier: MIT
// JPEGInfo: the header facts of a JPEG that every later stage needs.
#pragma once

#include <cstdint>

namespace kestrel {

// Raw (stored) geometry of a JPEG. Invariant once read by JPEGEngine:
// width ≥ 1, height ≥ 1, width × height ≤ 140 000 000.
struct JPEGInfo {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t mcuWidth = 8;     // 8, 16 or 32
  std::int64_t mcuHeight = 8;    // 8, 16 or 32
  std::int64_t subsampling = 0;  // 0 4:4:4, 1 4:2:2, 2 4:2:0, 3 gray, 4 4:4:0, 5 4:1:1, 6 4:4:1

  bool operator==(const JPEGInfo&) const = default;
};

}  // namespace kestrel
