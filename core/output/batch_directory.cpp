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

#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/run/json_format.h"

namespace kestrel::BatchDirectory {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kUnlabelledAttempts = 10;
constexpr int kLastRerun = 100000;
// The largest number ever handed out is 2^63 − 2.
constexpr std::int64_t kLargestTop = std::numeric_limits<std::int64_t>::max() - 2;

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

fs::path reserve(const fs::path& root, const std::optional<std::string>& label,
                 const std::optional<std::string>& date, const std::string& sourceIdentity) {
  validate(label, date);
  fs::create_directories(root);
  if (isUnlabelled(label)) return reserveUnlabelled(root);

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
    replaceFileAtomically(registryPath, encodeRegistry(registry), /*syncFolder=*/true);
  } catch (const std::exception& error) {
    ::rmdir(directory.c_str());
    throw CropError(std::string("无法保存卡号索引，本次未开始处理：") + error.what());
  }
  return directory;
}

}  // namespace kestrel::BatchDirectory
