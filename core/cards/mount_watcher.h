// SPDX-License-Identifier: MIT
// MountWatcher: tells when the mount table changed (a volume was mounted,
// unmounted or remounted), so the card list can be scanned again.
//
// The kernel marks an open /proc/self/mountinfo with POLLPRI (and POLLERR)
// once after each change of the mount table; the mark is cleared by the poll
// that reports it, so several quick changes may be reported as one. An event
// loop can watch fd() itself (in Qt a QSocketNotifier of type Exception) and
// call acknowledge() when it fires; or a thread calls waitForChange().
#pragma once

#include <chrono>
#include <filesystem>

namespace kestrel {

class MountWatcher {
 public:
  // Opens the mount table; throws std::system_error when it cannot be opened.
  explicit MountWatcher(const std::filesystem::path& mountInfo = "/proc/self/mountinfo");
  ~MountWatcher();
  MountWatcher(MountWatcher&& other) noexcept;
  MountWatcher& operator=(MountWatcher&& other) noexcept;
  MountWatcher(const MountWatcher&) = delete;
  MountWatcher& operator=(const MountWatcher&) = delete;

  // The descriptor to watch for an exceptional condition (POLLPRI).
  int fd() const { return fd_; }

  // Blocks until the mount table changes or `timeout` has passed (a negative
  // timeout waits without limit). True when it changed; the change is then
  // acknowledged. Throws std::system_error when polling fails.
  bool waitForChange(std::chrono::milliseconds timeout);

  // Consumes a change reported on fd() by someone else's poll: rereads the
  // table from its start, so the next poll waits for the next change.
  void acknowledge();

 private:
  int fd_ = -1;
};

}  // namespace kestrel
