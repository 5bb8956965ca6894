// SPDX-License-Identifier: MIT
#include "core/batch/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

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
  std::vector<std::uint8_t> data(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
  std::size_t filled = 0;
  for (;;) {
    if (filled == data.size()) data.resize(data.size() + 65536);  // grew, or not a regular file
    const ssize_t n = ::read(fd.get(), data.data() + filled, data.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(path);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  data.resize(filled);
  return Bytes(std::move(data));
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
