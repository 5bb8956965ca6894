// SPDX-License-Identifier: MIT
// File I/O shared by the pipeline, the reports, the registry, the previews
// and the model loader: an owning file descriptor, whole-file reads, and the
// two ways Kestrel writes files — a new file that never replaces anything,
// and an atomic replacement for files it rewrites (reports, the registry).
// Both write under one hidden temporary name first, so no final name ever
// carries a half-written file.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "core/base/bytes.h"

namespace kestrel {

// Throws std::system_error for the current errno with the system's text,
// after `what` (usually the path at fault).
[[noreturn]] void throwErrno(const std::string& what);

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

// The path form used for every comparison of folders: "." and ".." removed,
// symbolic links resolved in the deepest existing ancestor, and the missing
// tail appended again, so a folder that does not exist yet still has one.
std::filesystem::path canonicalURL(const std::filesystem::path& path);

// A UUID in its canonical upper-case text form (libuuid, random).
std::string randomUUIDText();

// The hidden name something is written under before it gets its final name
// `destination`: "." + a new UUID + ".partial" in the same folder. Being
// hidden, a leftover one is never taken for input.
std::filesystem::path temporaryPathFor(const std::filesystem::path& destination);

// Creates `path` (which must not exist) holding `data`. On failure the
// partly written file is removed and std::system_error is thrown.
void createFile(const std::filesystem::path& path, std::span<const std::uint8_t> data);
inline void createFile(const std::filesystem::path& path, std::string_view text) {
  createFile(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Writes `data` under `destination` through a temporary file in the same
// folder, flushes it to the disk and moves it there only if nothing exists
// at `destination`: an existing file is never replaced, and the failure
// names it. Works on file systems without RENAME_NOREPLACE or hard links
// too (see placeWithoutReplacing). Throws std::system_error with the
// system's text; the temporary file is removed.
void writeNewFile(const std::filesystem::path& destination, std::span<const std::uint8_t> data);

// Writes `content` through a temporary file, flushes it to disk and renames
// it over `path` in one step, so readers see the old or the complete new
// file. With `syncFolder` the folder is flushed too, so the rename itself
// survives a power cut. Throws std::system_error; the temporary file is
// removed on failure.
void replaceFileAtomically(const std::filesystem::path& path, std::string_view content,
                           bool syncFolder = false);

// Flushes a folder's entries (the names of the files in it) to the disk.
// Throws std::system_error.
void flushFolder(const std::filesystem::path& folder);

// Creates the folders of `relative` inside `base`, which must exist: unlike
// create_directories it never makes `base` again once it has gone (an output
// disk pulled and its mount point left empty), so nothing is written to
// where the operator would not look for it. Throws std::system_error naming
// the folder it could not make.
void createFoldersBelow(const std::filesystem::path& base, const std::filesystem::path& relative);

}  // namespace kestrel
