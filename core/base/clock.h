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

// Runs `stage` and stores its duration in `slot`, also when it throws.
template <typename F>
auto timedInto(double& slot, F&& stage) {
  struct Stop {
    double& slot;
    double start;
    ~Stop() { slot = monotonicSeconds() - start; }
  } stop{slot, monotonicSeconds()};
  return stage();
}

}  // namespace kestrel
