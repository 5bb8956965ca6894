// SPDX-License-Identifier: MIT
#include "core/detection/detail/tar_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace kestrel::tar {

namespace {

struct FreeArchive {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};

[[noreturn]] void damaged(archive* a) {
  const char* reason = archive_error_string(a);
  throw std::runtime_error(std::string("模型包不是有效的 tar 文件：") +
                           (reason != nullptr ? reason : "无法读取"));
}

}  // namespace

std::vector<Entry> readEntries(std::string_view data) {
  const std::unique_ptr<archive, FreeArchive> reader(archive_read_new());
  if (!reader) throw std::bad_alloc();
  archive* a = reader.get();
  // Only plain tar: a package is never compressed, and nothing else may pass for one.
  archive_read_support_format_tar(a);
  if (archive_read_open_memory(a, data.data(), data.size()) != ARCHIVE_OK) damaged(a);

  std::vector<Entry> entries;
  archive_entry* header = nullptr;
  int status;
  while ((status = archive_read_next_header(a, &header)) == ARCHIVE_OK) {
    if (archive_entry_filetype(header) != AE_IFREG) continue;
    Entry entry{archive_entry_pathname(header) ? archive_entry_pathname(header) : "", {}};
    // A header may claim any size: never more than the archive holds.
    const la_int64_t size = archive_entry_size(header);
    if (size < 0 || static_cast<std::uint64_t>(size) > data.size()) {
      throw std::runtime_error("模型包不是有效的 tar 文件：条目 " + entry.path + " 超出文件末尾");
    }
    entry.data.resize(static_cast<std::size_t>(size));
    if (archive_read_data(a, entry.data.data(), entry.data.size()) !=
        static_cast<la_ssize_t>(entry.data.size())) {
      damaged(a);
    }
    entries.push_back(std::move(entry));
  }
  if (status != ARCHIVE_EOF) damaged(a);
  return entries;
}

std::string_view baseName(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kestrel::tar
