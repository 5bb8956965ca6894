// SPDX-License-Identifier: MIT
#include "core/detection/detail/tar_archive.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace kestrel::tar {

namespace {

constexpr std::size_t kBlock = 512;

// ustar header fields: offset, length.
constexpr std::size_t kNameOffset = 0, kNameLength = 100;
constexpr std::size_t kSizeOffset = 124, kSizeLength = 12;
constexpr std::size_t kChecksumOffset = 148, kChecksumLength = 8;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kPrefixOffset = 345, kPrefixLength = 155;

std::string_view field(std::string_view header, std::size_t offset, std::size_t length) {
  const std::string_view raw = header.substr(offset, length);
  return raw.substr(0, std::min(raw.find('\0'), raw.size()));
}

// Octal digits, optionally surrounded by spaces and NULs. The base-256 form
// GNU tar uses for files over 8 GiB is not needed for models and refused.
std::optional<std::uint64_t> octal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::uint64_t value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '7'; ++i) {
    if (value > (UINT64_MAX >> 3)) return std::nullopt;
    value = value * 8 + static_cast<std::uint64_t>(text[i] - '0');
    digits = true;
  }
  for (; i < text.size(); ++i) {
    if (text[i] != ' ' && text[i] != '\0') return std::nullopt;
  }
  if (!digits) return std::nullopt;
  return value;
}

[[noreturn]] void damaged(std::size_t offset, const std::string& what) {
  throw std::runtime_error("模型包不是有效的 tar 文件（偏移 " + std::to_string(offset) + "）：" +
                           what);
}

}  // namespace

std::vector<Entry> readEntries(std::string_view archive) {
  if (archive.size() < kBlock) damaged(0, "文件过短");
  std::vector<Entry> entries;
  std::size_t offset = 0;
  while (offset + kBlock <= archive.size()) {
    const std::string_view header = archive.substr(offset, kBlock);
    if (std::all_of(header.begin(), header.end(), [](char c) { return c == '\0'; })) break;

    const auto stored = octal(header.substr(kChecksumOffset, kChecksumLength));
    // The checksum is the byte sum of the header with its own field as spaces.
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const bool inField = i >= kChecksumOffset && i < kChecksumOffset + kChecksumLength;
      sum += inField ? static_cast<std::uint64_t>(' ') : static_cast<unsigned char>(header[i]);
    }
    if (!stored || *stored != sum) damaged(offset, "头部校验和不符");

    const auto size = octal(header.substr(kSizeOffset, kSizeLength));
    if (!size) damaged(offset, "无法读取条目大小");
    const std::size_t dataOffset = offset + kBlock;
    if (*size > archive.size() - dataOffset) damaged(offset, "条目超出文件末尾");

    std::string path(field(header, kNameOffset, kNameLength));
    if (header.substr(kMagicOffset, 5) == "ustar") {
      const std::string_view prefix = field(header, kPrefixOffset, kPrefixLength);
      if (!prefix.empty()) path = std::string(prefix) + "/" + path;
    }
    const char type = header[kTypeOffset];
    if (type == '0' || type == '\0' || type == '7') {
      entries.push_back({std::move(path), archive.substr(dataOffset, *size)});
    }
    // Data is padded to whole blocks; the padding of the last entry may be missing.
    const std::uint64_t blocks = (*size + kBlock - 1) / kBlock;
    offset = dataOffset + static_cast<std::size_t>(blocks * kBlock);
  }
  return entries;
}

std::string_view baseName(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kestrel::tar
