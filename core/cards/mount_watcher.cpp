// SPDX-License-Identifier: MIT
#include "core/cards/mount_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace kestrel {

namespace {

std::system_error lastError(const char* what) {
  return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

MountWatcher::MountWatcher(const std::filesystem::path& mountInfo)
    : fd_(::open(mountInfo.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (fd_ < 0) throw lastError(("cannot open " + mountInfo.string()).c_str());
}

MountWatcher::~MountWatcher() {
  if (fd_ >= 0) ::close(fd_);
}

MountWatcher::MountWatcher(MountWatcher&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

MountWatcher& MountWatcher::operator=(MountWatcher&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool MountWatcher::waitForChange(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeout.count() < 0;
  const Clock::time_point deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  for (;;) {
    int wait = -1;
    if (!unlimited) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
    }
    // Only POLLPRI is asked for: the table is always readable (POLLIN), which
    // must not wake the wait.
    pollfd entry{fd_, POLLPRI, 0};
    const int ready = ::poll(&entry, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw lastError("poll on the mount table");
    }
    if (ready == 0) return false;
    // Only POLLPRI was asked for, so poll reports nothing else but a change
    // (POLLPRI with POLLERR) or a broken descriptor (POLLNVAL, POLLHUP).
    if ((entry.revents & POLLPRI) == 0) {
      throw std::system_error(EIO, std::generic_category(), "poll on the mount table");
    }
    acknowledge();
    return true;
  }
}

void MountWatcher::acknowledge() {
  // Reading the table through from its start is how a reader catches up with
  // a change; what it says is left to the next scan.
  if (::lseek(fd_, 0, SEEK_SET) < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count > 0) continue;
    if (count < 0 && errno == EINTR) continue;
    break;
  }
  ::lseek(fd_, 0, SEEK_SET);
}

}  // namespace kestrel
