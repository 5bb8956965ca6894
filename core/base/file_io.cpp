// SPDX-License-Identifier: MIT
#include "core/base/file_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>

#include "core/base/detail/file_calls.h"

namespace kestrel {

namespace fs = std::filesystem;

namespace {

// Creates `path` exclusively, writes `data`, optionally flushes it to disk,
// and closes it; the file is removed again when any step fails. Errors name
// `what`.
void createWritten(const fs::path& path, std::span<const std::uint8_t> data, bool flush,
                   const std::string& what) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) throwErrno(what);
  try {
    writeAll(fd.get(), data, what);
    if (flush && ::fdatasync(fd.get()) != 0) throwErrno(what);
    if (fd.close() != 0) throwErrno(what);
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
}

int renameNoReplace(const char* from, const char* to) {
  return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// The errors of a file system that has no such call, rather than of a call
// that failed.
bool unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

// Moves the complete, flushed file `from` to `to` unless something exists
// at `to`; never replaces a file. Where the file system has neither
// RENAME_NOREPLACE nor hard links (several FUSE and network file systems),
// the final name is first claimed by creating it exclusively, empty, and the
// complete file is then renamed over that claim, which is ours: a file
// someone else made is never replaced, and the final name only ever holds
// nothing or the whole photo (a crash between the two steps leaves the
// empty claim).
void placeWithoutReplacing(const fs::path& from, const fs::path& to) {
  const detail::FileCalls& calls = detail::fileCalls();
  if (calls.renameNoReplace(from.c_str(), to.c_str()) == 0) return;
  if (!unsupported(errno) || errno == EPERM) throwErrno(to.string());
  if (calls.hardLink(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return;
  }
  if (!unsupported(errno)) throwErrno(to.string());
  FileDescriptor claim(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!claim.valid()) throwErrno(to.string());
  claim.close();
  if (::rename(from.c_str(), to.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    errno = error;
    throwErrno(to.string());
  }
}

}  // namespace

detail::FileCalls& detail::fileCalls() {
  static FileCalls calls{renameNoReplace, ::link};
  return calls;
}

void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::system_category(), what);
}

Bytes readFile(const fs::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throwErrno(path.string());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throwErrno(path.string());
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    throwErrno(path.string());
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
      throwErrno(path.string());
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return Bytes::adopt(data.release(), filled, [](std::uint8_t* p) { std::free(p); });
}

void writeAll(int fd, std::span<const std::uint8_t> data, const fs::path& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(path.string());
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
}

fs::path canonicalURL(const fs::path& path) {
  // Standardise: make absolute and drop "." / ".." / duplicate separators
  // lexically, as the walk below must not touch the file system for them.
  fs::path current = fs::absolute(path).lexically_normal();
  if (current.has_relative_path() && !current.has_filename()) current = current.parent_path();

  std::vector<fs::path> missing;
  std::error_code ec;
  while (current != current.root_path() && !fs::exists(current, ec)) {
    missing.push_back(current.filename());
    current = current.parent_path();
  }
  fs::path resolved = fs::canonical(current, ec);
  if (ec) resolved = current;  // unreadable ancestor: keep the standardised form
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) resolved /= *it;
  return resolved;
}

std::string randomUUIDText() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return text;
}

fs::path temporaryPathFor(const fs::path& destination) {
  return destination.parent_path() / ("." + randomUUIDText() + ".partial");
}

void createFile(const fs::path& path, std::span<const std::uint8_t> data) {
  createWritten(path, data, /*flush=*/false, path.string());
}

void writeNewFile(const fs::path& destination, std::span<const std::uint8_t> data) {
  const fs::path temporary = temporaryPathFor(destination);
  // Flushed before it gets its name: after a power cut or a pulled drive a
  // final name never points at data that did not reach the disk.
  createWritten(temporary, data, /*flush=*/true, temporary.string());
  try {
    placeWithoutReplacing(temporary, destination);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

void replaceFileAtomically(const fs::path& path, std::string_view content, bool syncFolder) {
  const fs::path temporary = temporaryPathFor(path);
  const std::string what = "write " + path.string();
  createWritten(temporary, {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()},
                /*flush=*/true, what);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    throwErrno(what);
  }
  if (syncFolder) flushFolder(path.has_parent_path() ? path.parent_path() : fs::path("."));
}

void flushFolder(const fs::path& folder) {
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid() || ::fsync(dir.get()) != 0) throwErrno(folder.string());
}

void createFoldersBelow(const fs::path& base, const fs::path& relative) {
  fs::path folder = base;
  for (const fs::path& part : relative) {
    if (part.empty() || part == ".") continue;
    folder /= part;
    // mkdir fails with ENOENT when `base` (or a folder above) is gone.
    if (::mkdir(folder.c_str(), 0777) == 0) continue;
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    throw std::system_error(error, std::generic_category(), folder.string());
  }
}

}  // namespace kestrel
