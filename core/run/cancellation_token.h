// SPDX-License-Identifier: MIT
// CancellationToken: the stop flag shared by the window, the run and workers.
#pragma once

#include <memory>
#include <mutex>

namespace kestrel {

// A one-way stop flag. It only ever goes from false to true; a new run gets
// a new token. Share it through std::shared_ptr (see makeCancellationToken).
class CancellationToken {
 public:
  void cancel() {
    std::lock_guard guard(lock_);
    flag_ = true;
  }
  bool isCancelled() const {
    std::lock_guard guard(lock_);
    return flag_;
  }

 private:
  mutable std::mutex lock_;
  bool flag_ = false;
};

inline std::shared_ptr<CancellationToken> makeCancellationToken() {
  return std::make_shared<CancellationToken>();
}

}  // namespace kestrel
