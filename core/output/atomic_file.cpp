// SPDX-License-Identifier: MIT
#include "core/output/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/batch/file_io.h"

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

}  // namespace

void writeFileAtomically(const fs::path& path, std::string_view content, bool syncFolder) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const fs::path temp = folder / ("." + path.filename().string() + "." + randomUUIDText() + ".tmp");
  const std::string what = "write " + path.string();

  FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) throwErrno(what);
  try {
    writeAll(fd.get(), content, path);
    if (::fsync(fd.get()) != 0) throwErrno(what);
    if (fd.close() != 0) throwErrno(what);
    if (::rename(temp.c_str(), path.c_str()) != 0) throwErrno(what);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (syncFolder) {
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) throwErrno(what);
  }
}

}  // namespace kestrel
