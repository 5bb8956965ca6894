// SPDX-License-Identifier: MIT
#include "core/output/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace kestrel {

namespace fs = std::filesystem;

std::string randomUUIDText() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return text;
}

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::system_category(), what);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: a failed close can mean lost data.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

void writeAll(int fd, std::string_view content, const std::string& what) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(what);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void writeFileAtomically(const fs::path& path, std::string_view content, bool syncFolder) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const fs::path temp = folder / ("." + path.filename().string() + "." + randomUUIDText() + ".tmp");
  const std::string what = "write " + path.string();

  FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) throwErrno(what);
  try {
    writeAll(fd.get(), content, what);
    if (::fsync(fd.get()) != 0) throwErrno(what);
    if (fd.close() != 0) throwErrno(what);
    if (::rename(temp.c_str(), path.c_str()) != 0) throwErrno(what);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (syncFolder) {
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) throwErrno(what);
  }
}

}  // namespace kestrel
