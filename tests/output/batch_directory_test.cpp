// SPDX-License-Identifier: MIT
// Batch directory names, the card registry and its lock.
#include "core/output/batch_directory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "core/base/crop_error.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr const char* kPrefix = "城市半程-20260405-卡";

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

fs::path reserveLabelled(const fs::path& root, const std::string& source,
                         const std::string& label = "城市半程",
                         const std::string& date = "20260405") {
  return BatchDirectory::reserve(root, label, date, source);
}

TEST(BatchDirectoryReserveTest, UnlabelledNamesCarryTimeAndRandomSuffix) {
  TempDir dir;
  const fs::path root = dir / "new" / "root";
  const fs::path a = BatchDirectory::reserve(root, std::nullopt, std::nullopt, "");
  const fs::path b = BatchDirectory::reserve(root, "  ", std::nullopt, "");
  // "隼影-yyyyMMdd-HHmmss-XXXXXX" with six upper-case hexadecimal characters.
  const std::regex name("隼影-[0-9]{8}-[0-9]{6}-[0-9A-F]{6}");
  EXPECT_TRUE(std::regex_match(a.filename().string(), name)) << a;
  EXPECT_TRUE(std::regex_match(b.filename().string(), name)) << b;
  EXPECT_NE(a, b);
  EXPECT_TRUE(fs::is_empty(a));
  // The unlabelled scheme uses neither lock nor registry.
  EXPECT_EQ(entries(root).size(), 2u);
}

TEST(BatchDirectoryReserveTest, CardsCountUpAndRerunsGetTheirOwnDirectory) {
  TempDir dir;
  const fs::path root = dir.path();
  EXPECT_EQ(reserveLabelled(root, "folder:/a").filename(), std::string(kPrefix) + "1");
  EXPECT_EQ(reserveLabelled(root, "folder:/b").filename(), std::string(kPrefix) + "2");
  EXPECT_EQ(reserveLabelled(root, "folder:/a").filename(), std::string(kPrefix) + "1-重跑2");
  EXPECT_EQ(reserveLabelled(root, "folder:/a").filename(), std::string(kPrefix) + "1-重跑3");
  // Another day or another event starts again at 1.
  EXPECT_EQ(reserveLabelled(root, "folder:/a", "城市半程", "20260406").filename(),
            "城市半程-20260406-卡1");
  EXPECT_EQ(reserveLabelled(root, "folder:/b", " 城市/全程 ").filename(), "城市-全程-20260405-卡1");

  struct stat st {};
  ASSERT_EQ(::stat((root / ".sunying-batches.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((root / (std::string(kPrefix) + "1")).c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);

  const std::string text = readFile(root / ".sunying-batches.json");
  EXPECT_LT(text.find("\"cards\""), text.find("\"schema\""));  // sorted keys
  EXPECT_NE(text.find(kPrefix), std::string::npos);            // not \u-escaped
  const auto registry = nlohmann::json::parse(text);
  EXPECT_EQ(registry.at("schema"), 1);
  const auto& cards = registry.at("cards").at(kPrefix);
  ASSERT_EQ(cards.size(), 2u);
  // SHA-256 of "folder:/a" (as sha256sum prints it).
  EXPECT_EQ(cards.at("fbce9c4ead0f748b9979c75d0931e6fb8202aeac7ecda0da91728d61cd64919d"), 1);
}

TEST(BatchDirectoryReserveTest, NumbersOnDiskAreNeverReused) {
  TempDir dir;
  fs::create_directory(dir / (std::string(kPrefix) + "7-old"));
  fs::create_directory(dir / (std::string(kPrefix) + "x12"));
  writeFile(dir / (std::string(kPrefix) + "99999999999999999999"), "");  // too long for 64 bits
  writeFile(dir / kPrefix, "");
  EXPECT_EQ(reserveLabelled(dir.path(), "card-1").filename(), std::string(kPrefix) + "8");

  TempDir other;
  fs::create_directory(other / (std::string(kPrefix) + "0012"));
  fs::create_directory(other / (std::string(kPrefix) + "3-重跑2"));
  EXPECT_EQ(reserveLabelled(other.path(), "card-1").filename(), std::string(kPrefix) + "13");
  // A registered card whose directory was deleted gets it back.
  fs::remove(other / (std::string(kPrefix) + "13"));
  EXPECT_EQ(reserveLabelled(other.path(), "card-1").filename(), std::string(kPrefix) + "13");
  // Numbers stop before they overflow.
  TempDir full;
  fs::create_directory(full / (std::string(kPrefix) + "9223372036854775805"));
  EXPECT_EQ(reserveLabelled(full.path(), "a").filename(),
            std::string(kPrefix) + "9223372036854775806");
  EXPECT_EQ(messageOf([&] { reserveLabelled(full.path(), "b"); }),
            "卡号超出范围，请检查输出目录。");
}

TEST(BatchDirectoryReserveTest, BrokenRegistryStopsWithoutTouchingAnything) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> prepare;
    std::string message;
  } cases[] = {
      {"malformed JSON",
       [](auto& root) { writeFile(root / ".sunying-batches.json", "{\"cards\":"); },
       "无法读取批次编号索引；请保留该文件并检查输出位置。"},
      {"wrong types",
       [](auto& root) { writeFile(root / ".sunying-batches.json", R"({"cards":[],"schema":1})"); },
       "无法读取批次编号索引；请保留该文件并检查输出位置。"},
      {"missing schema",
       [](auto& root) { writeFile(root / ".sunying-batches.json", R"({"cards":{}})"); },
       "无法读取批次编号索引；请保留该文件并检查输出位置。"},
      {"schema 2",
       [](auto& root) { writeFile(root / ".sunying-batches.json", R"({"cards":{},"schema":2})"); },
       "批次编号索引版本不受支持。"},
      {"registry symlink",
       [](auto& root) {
         writeFile(root / "elsewhere.json", R"({"cards":{},"schema":1})");
         fs::create_symlink(root / "elsewhere.json", root / ".sunying-batches.json");
       },
       "批次编号索引不能是符号链接。"},
      {"lock symlink",
       [](auto& root) {
         writeFile(root / "elsewhere.lock", "");
         fs::create_symlink(root / "elsewhere.lock", root / ".sunying-batches.lock");
       },
       "无法打开批次编号锁："},
  };
  for (const auto& row : cases) {
    TempDir dir;
    row.prepare(dir.path());
    std::map<std::string, std::string> before;
    for (const auto& name : entries(dir.path())) {
      if (fs::is_regular_file(dir / name)) before[name] = readFile(dir / name);
    }
    const std::set<std::string> namesBefore = entries(dir.path());
    const std::string message = messageOf([&] { reserveLabelled(dir.path(), "card"); });
    EXPECT_TRUE(message.starts_with(row.message)) << row.name << ": " << message;
    std::set<std::string> namesAfter = entries(dir.path());
    namesAfter.erase(".sunying-batches.lock");  // may have been created
    std::set<std::string> expected = namesBefore;
    expected.erase(".sunying-batches.lock");
    EXPECT_EQ(namesAfter, expected) << row.name;
    for (const auto& [name, content] : before) EXPECT_EQ(readFile(dir / name), content) << row.name;
  }
}

TEST(BatchDirectoryReserveTest, RegistryThatCannotBeSavedRollsTheDirectoryBack) {
  TempDir dir;
  reserveLabelled(dir.path(), "first");
  const std::string registryBefore = readFile(dir / ".sunying-batches.json");
  // In a child process, cap the file size so the new registry cannot be written.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string message = messageOf([&] { reserveLabelled(dir.path(), "second"); });
    _exit(message.starts_with("无法保存卡号索引，本次未开始处理：") ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(dir / (std::string(kPrefix) + "2")));
  EXPECT_EQ(readFile(dir / ".sunying-batches.json"), registryBefore);
}

TEST(BatchDirectoryReserveTest, ConcurrentProcessesGetDistinctNumbers) {
  TempDir dir;
  constexpr int kCards = 4;
  constexpr int kRunsPerCard = 3;
  int startPipe[2];
  ASSERT_EQ(pipe(startPipe), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kCards * kRunsPerCard; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(startPipe[1]);
      char byte;
      (void)read(startPipe[0], &byte, 1);  // all start together when the pipe closes
      try {
        reserveLabelled(dir.path(), "card-" + std::to_string(i % kCards));
        _exit(0);
      } catch (...) {
        _exit(1);
      }
    }
    children.push_back(child);
  }
  close(startPipe[0]);
  close(startPipe[1]);
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const auto registry = nlohmann::json::parse(readFile(dir / ".sunying-batches.json"));
  const auto& cards = registry.at("cards").at(kPrefix);
  ASSERT_EQ(cards.size(), static_cast<std::size_t>(kCards));
  std::set<int> numbers;
  for (const auto& [hash, number] : cards.items()) numbers.insert(number.get<int>());
  EXPECT_EQ(numbers, (std::set<int>{1, 2, 3, 4}));

  std::set<std::string> expected = {".sunying-batches.json", ".sunying-batches.lock"};
  for (int n = 1; n <= kCards; ++n) {
    const std::string base = kPrefix + std::to_string(n);
    expected.insert(base);
    for (int k = 2; k <= kRunsPerCard; ++k) expected.insert(base + "-重跑" + std::to_string(k));
  }
  EXPECT_EQ(entries(dir.path()), expected);
}

}  // namespace
}  // namespace kestrel
