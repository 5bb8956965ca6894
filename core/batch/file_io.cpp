// SPDX-License-Identifier: MIT
#include "core/batch/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>

namespace kestrel {

namespace {
[[noreturn]] void throwErrno(const std::filesystem::path& path) {
  throw std::system_error(errno, std::generic_category(), path.string());
}
}  // namespace

Bytes readFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throwErrno(path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throwErrno(path);
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    throwErrno(path);
  }
  // Uninitialised storage with one spare byte, so that the read which
  // reports the end of a regular file needs neither a zeroed buffer nor a
  // grown (copied) one; other files grow as they are read.
  std::size_t capacity = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 1;
  std::unique_ptr<std::uint8_t, void (*)(void*)> data(
      static_cast<std::uint8_t*>(std::malloc(capacity)), std::free);
  if (!data) throw std::bad_alloc();
  std::size_t filled = 0;
  for (;;) {
    if (filled == capacity) {
      capacity += std::max<std::size_t>(capacity / 2, 65536);
      auto* grown = static_cast<std::uint8_t*>(std::realloc(data.get(), capacity));
      if (grown == nullptr) throw std::bad_alloc();
      data.release();
      data.reset(grown);
    }
    const ssize_t n = ::read(fd.get(), data.get() + filled, capacity - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(path);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return Bytes::adopt(data.release(), filled, [](std::uint8_t* p) { std::free(p); });
}

void writeAll(int fd, std::span<const std::uint8_t> data, const std::filesystem::path& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(path);
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
}

}  // namespace kestrel
