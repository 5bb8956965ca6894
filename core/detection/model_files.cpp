// SPDX-License-Identifier: MIT
#include "core/detection/model_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <system_error>

namespace kestrel::detail {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // close(2) reports delayed write errors; the caller of a write needs them.
  int release() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int error) {
  throw std::system_error(error, std::generic_category(), std::string(what) + path.string());
}

}  // namespace

std::string readWholeFile(const std::filesystem::path& path) {
  constexpr const char* what = "无法读取模型文件 ";
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail(what, path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail(what, path, errno);
  if (S_ISDIR(info.st_mode)) fail(what, path, EISDIR);
  std::string content;
  if (S_ISREG(info.st_mode)) content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(what, path, errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

void writeWholeFile(const std::filesystem::path& path, std::string_view content) {
  constexpr const char* what = "无法写入模型文件 ";
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) fail(what, path, errno);
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(what, path, errno);
    }
    written += static_cast<std::size_t>(n);
  }
  if (fd.release() != 0) fail(what, path, errno);
}

std::vector<std::string> parseLabels(std::string_view text) {
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
      line.remove_prefix(1);
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
      line.remove_suffix(1);
    }
    if (!line.empty()) labels.emplace_back(line);
  }
  return labels;
}

}  // namespace kestrel::detail
