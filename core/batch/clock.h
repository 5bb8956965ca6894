// SPDX-License-Identifier: MIT
// The monotonic clock behind every duration Kestrel measures.
#pragma once

#include <chrono>

namespace kestrel {

// Seconds since an arbitrary fixed point, from the monotonic clock. Each
// reading is converted to seconds before two readings are subtracted.
inline double monotonicSeconds() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

}  // namespace kestrel
