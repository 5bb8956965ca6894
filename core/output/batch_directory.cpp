// SPDX-License-Identifier: MIT
#include "core/output/batch_directory.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/batch/crop_error.h"
#include "core/output/atomic_file.h"
#include "core/output/json_format.h"

namespace kestrel::BatchDirectory {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::string_view kNameMessage = "赛事/分类名称为空或过长，请简化名称。";
constexpr std::string_view kDateMessage = "请选择有效的赛事日期。";
constexpr std::size_t kMaximumLabelBytes = 160;
constexpr int kUnlabelledAttempts = 10;
constexpr int kLastRerun = 100000;
// The largest number ever handed out is 2^63 − 2.
constexpr std::int64_t kLargestTop = std::numeric_limits<std::int64_t>::max() - 2;

// ---- Unicode: just enough of the general categories for label cleaning ----

struct Range {
  char32_t first;
  char32_t last;
};

// General categories Cc and Cf.
constexpr Range kControlOrFormat[] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// General categories Zs, Zl, Zp, plus U+0009…U+000D and U+0085.
constexpr Range kWhitespaceOrNewline[] = {
    {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0},
    {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
    {0x205F, 0x205F}, {0x3000, 0x3000},
};

template <std::size_t N>
bool inRanges(char32_t c, const Range (&ranges)[N]) {
  for (const Range& r : ranges) {
    if (c >= r.first && c <= r.last) return true;
  }
  return false;
}

bool isWhitespaceOrNewline(char32_t c) { return inRanges(c, kWhitespaceOrNewline); }

// Decodes UTF-8; a malformed sequence yields U+FFFD for its first byte.
std::vector<char32_t> decodeUTF8(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int length = 0;
    char32_t c = 0;
    if (b0 < 0x80) {
      length = 1, c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      length = 2, c = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, c = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, c = b0 & 0x07;
    }
    bool valid = length > 0 && i + static_cast<std::size_t>(length) <= s.size();
    for (int k = 1; valid && k < length; ++k) {
      const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      valid = (b & 0xC0) == 0x80;
      c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
      valid = false;
    }
    out.push_back(valid ? c : U'\uFFFD');
    i += valid ? static_cast<std::size_t>(length) : 1;
  }
  return out;
}

void appendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

template <typename Predicate>
std::string trimmed(std::string_view text, Predicate trim) {
  const std::vector<char32_t> chars = decodeUTF8(text);
  std::size_t first = 0;
  std::size_t last = chars.size();
  while (first < last && trim(chars[first])) ++first;
  while (last > first && trim(chars[last - 1])) --last;
  std::string out;
  for (std::size_t i = first; i < last; ++i) appendUTF8(out, chars[i]);
  return out;
}

bool isBlank(const std::optional<std::string>& label) {
  return !label || trimmed(*label, isWhitespaceOrNewline).empty();
}

// ---- dates ----

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A real Gregorian day written as exactly eight ASCII digits "yyyyMMdd".
bool isValidDate(const std::optional<std::string>& date) {
  if (!date || date->size() != 8) return false;
  for (char c : *date) {
    if (c < '0' || c > '9') return false;
  }
  const int year = std::stoi(date->substr(0, 4));
  const int month = std::stoi(date->substr(4, 2));
  const int day = std::stoi(date->substr(6, 2));
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int days = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  return day <= days;
}

// ---- registry ----

struct Registry {
  std::int64_t schema = 1;
  std::map<std::string, std::map<std::string, std::int64_t>> cards;
};

std::string errorText(int error) { return std::strerror(error); }

[[noreturn]] void fail(std::string_view message) { throw CropError(std::string(message)); }
[[noreturn]] void failWithErrno(std::string_view message, int error) {
  throw CropError(std::string(message) + "：" + errorText(error));
}

std::int64_t strictInteger(const json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw std::out_of_range("integer out of range");
    }
    return value.get<std::int64_t>();
  }
  throw std::invalid_argument("not an integer");
}

Registry decodeRegistry(const std::string& text) {
  const json root = json::parse(text);
  Registry registry;
  registry.schema = strictInteger(root.at("schema"));
  if (!root.at("cards").is_object()) throw std::invalid_argument("cards is not an object");
  for (const auto& [prefix, sources] : root.at("cards").items()) {
    auto& known = registry.cards[prefix];
    if (!sources.is_object()) throw std::invalid_argument("cards entry is not an object");
    for (const auto& [hash, number] : sources.items()) known[hash] = strictInteger(number);
  }
  return registry;
}

std::string encodeRegistry(const Registry& registry) {
  json cards = json::object();
  for (const auto& [prefix, known] : registry.cards) {
    json sources = json::object();
    for (const auto& [hash, number] : known) sources[hash] = number;
    cards[prefix] = std::move(sources);
  }
  return dumpJSON(json{{"cards", std::move(cards)}, {"schema", registry.schema}});
}

std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

// The advisory lock on the lock file, held for the whole labelled reservation.
class RegistryLock {
 public:
  explicit RegistryLock(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) failWithErrno("无法打开批次编号锁", errno);
    int result;
    do {
      result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const int error = errno;
      ::close(fd_);
      failWithErrno("无法锁定批次编号", error);
    }
  }
  ~RegistryLock() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  int fd_ = -1;
};

Registry loadRegistry(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    fail("批次编号索引不能是符号链接。");
  }
  constexpr std::string_view kUnreadable = "无法读取批次编号索引；请保留该文件并检查输出位置。";
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Registry{};
    fail(kUnreadable);
  }
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      fail(kUnreadable);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  Registry registry;
  try {
    registry = decodeRegistry(text);
  } catch (const std::exception&) {
    fail(kUnreadable);
  }
  if (registry.schema != 1) fail("批次编号索引版本不受支持。");
  return registry;
}

// Largest card number that a directory name under `root` already uses for
// `prefix`: the leading ASCII digits after the prefix, when they fit 64 bits.
std::int64_t largestNumberOnDisk(const fs::path& root, const std::string& prefix) {
  std::int64_t largest = 0;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const std::string_view rest = std::string_view(name).substr(prefix.size());
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0) continue;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + digits, value);
    if (error == std::errc() && end == rest.data() + digits) largest = std::max(largest, value);
  }
  return largest;
}

fs::path reserveUnlabelled(const fs::path& root) {
  for (int attempt = 0; attempt < kUnlabelledAttempts; ++attempt) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const fs::path directory =
        root / ("隼影-" + std::string(stamp) + "-" + randomUUIDText().substr(0, 6));
    if (::mkdir(directory.c_str(), 0755) == 0) return directory;
    if (errno != EEXIST) failWithErrno("无法创建输出批次", errno);
  }
  fail("无法分配独立输出目录，请重试。");
}

// Creates `root`/`name`; false when the name exists already.
bool createLabelledDirectory(const fs::path& directory) {
  if (::mkdir(directory.c_str(), 0755) == 0) return true;
  if (errno == EEXIST) return false;
  failWithErrno("无法建立赛事输出目录", errno);
}

}  // namespace

std::string cleanLabel(std::string_view label) {
  std::string joined;
  for (char32_t c : decodeUTF8(label)) {
    const bool separator = inRanges(c, kControlOrFormat) || c == U'/' || c == U'\\' || c == U':';
    if (separator) {
      joined += '-';
    } else {
      appendUTF8(joined, c);
    }
  }
  return trimmed(joined,
                 [](char32_t c) { return isWhitespaceOrNewline(c) || c == U'.' || c == U'-'; });
}

void validate(const std::optional<std::string>& label, const std::optional<std::string>& date) {
  if (isBlank(label)) return;
  const std::string cleaned = cleanLabel(*label);
  if (cleaned.empty() || cleaned.size() > kMaximumLabelBytes) fail(kNameMessage);
  if (!isValidDate(date)) fail(kDateMessage);
}

fs::path reserve(const fs::path& root, const std::optional<std::string>& label,
                 const std::optional<std::string>& date, const std::string& sourceIdentity) {
  validate(label, date);
  fs::create_directories(root);
  if (isBlank(label)) return reserveUnlabelled(root);

  RegistryLock lock(root / lockFileName);
  const fs::path registryPath = root / registryFileName;
  Registry registry = loadRegistry(registryPath);

  const std::string prefix = cleanLabel(*label) + "-" + *date + "-卡";
  const std::string sourceHash = sha256Hex(sourceIdentity);
  std::map<std::string, std::int64_t> known = registry.cards[prefix];
  const std::int64_t disk = largestNumberOnDisk(root, prefix);

  std::int64_t number;
  if (auto it = known.find(sourceHash); it != known.end() && it->second >= 1) {
    number = it->second;
  } else {
    std::int64_t top = disk;
    for (const auto& [hash, value] : known) top = std::max(top, value);
    if (top > kLargestTop) fail("卡号超出范围，请检查输出目录。");
    number = top + 1;
    known[sourceHash] = number;
  }

  const std::string base = prefix + std::to_string(number);
  fs::path directory = root / base;
  if (!createLabelledDirectory(directory)) {
    bool created = false;
    for (int k = 2; k <= kLastRerun && !created; ++k) {
      directory = root / (base + "-重跑" + std::to_string(k));
      created = createLabelledDirectory(directory);
    }
    if (!created) fail("同卡重跑目录过多，请检查输出位置。");
  }

  registry.cards[prefix] = std::move(known);
  try {
    writeFileAtomically(registryPath, encodeRegistry(registry), /*syncFolder=*/true);
  } catch (const std::exception& error) {
    ::rmdir(directory.c_str());
    throw CropError(std::string("无法保存卡号索引，本次未开始处理：") + error.what());
  }
  return directory;
}

}  // namespace kestrel::BatchDirectory
