// SPDX-License-Identifier: MIT
// Small POSIX file helpers shared by the pipeline, the reports and the
// model loader: an owning file descriptor, whole-file reads, complete writes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <span>
#include <string_view>

#include "core/batch/bytes.h"

namespace kestrel {

// Owns one file descriptor and closes it on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and returns close(2)'s result: a failed close can mean that
  // written data never reached the file system, so writers must check it.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// The whole content of a file. Throws std::system_error naming the path.
Bytes readFile(const std::filesystem::path& path);

// Writes all of `data` to `fd`, retrying short writes and interruptions.
// Throws std::system_error naming `path`.
void writeAll(int fd, std::span<const std::uint8_t> data, const std::filesystem::path& path);
inline void writeAll(int fd, std::string_view text, const std::filesystem::path& path) {
  writeAll(fd, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, path);
}

}  // namespace kestrel
