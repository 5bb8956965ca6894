// SPDX-License-Identifier: MIT
// Batch directory names, the card registry and its lock.
#include "core/output/batch_directory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

const std::string kPrefix = "城市半程-20260405-卡";

std::string messageOf(const std::function<void()>& action) try {
  action();
  return "";
} catch (const std::exception& error) {
  return error.what();
}

// Every entry of a folder with its contents ("" for a folder), the lock aside.
std::map<std::string, std::string> contents(const fs::path& folder) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name != BatchDirectory::lockFileName) {
      found[name] = entry.is_regular_file() ? testing::readFile(entry) : "";
    }
  }
  return found;
}

std::string reserve(const fs::path& root, const std::string& source,
                    const std::string& label = "城市半程", const std::string& date = "20260405") {
  return BatchDirectory::reserve(root, label, date, source).filename();
}

// Labelled runs count cards up and give reruns their own directory; unlabelled
// runs get "隼影-yyyyMMdd-HHmmss-XXXXXX", without lock or registry.
TEST(BatchDirectoryReserveTest, NamesNumberCardsAndRerunsOrCarryTimeAndSuffix) {
  TempDir dir;
  const fs::path a = BatchDirectory::reserve(dir / "new", std::nullopt, std::nullopt, "");
  BatchDirectory::reserve(dir / "new", "  ", std::nullopt, "");
  std::string shape = a.filename();  // digits and upper-case hexadecimal become 0
  for (char& ch : shape) ch = (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F') ? '0' : ch;
  EXPECT_EQ(shape, "隼影-00000000-000000-000000");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "new"), {}), 2);
  EXPECT_EQ(reserve(dir.path(), "folder:/a"), kPrefix + "1");
  EXPECT_EQ(reserve(dir.path(), "folder:/b"), kPrefix + "2");
  EXPECT_EQ(reserve(dir.path(), "folder:/a"), kPrefix + "1-重跑2");
  EXPECT_EQ(reserve(dir.path(), "folder:/a"), kPrefix + "1-重跑3");
  // Another day or another event starts again at 1; labels are cleaned.
  EXPECT_EQ(reserve(dir.path(), "folder:/a", "城市半程", "20260406"), "城市半程-20260406-卡1");
  EXPECT_EQ(reserve(dir.path(), "folder:/b", " 城市/全程 "), "城市-全程-20260405-卡1");
  // Each source is kept by the SHA-256 of its identity.
  const std::string registry = testing::readFile(dir / ".sunying-batches.json");
  EXPECT_NE(
      registry.find("\"fbce9c4ead0f748b9979c75d0931e6fb8202aeac7ecda0da91728d61cd64919d\": 1"),
      std::string::npos);
}

// Numbers on disk or in the registry are never handed out again; none overflow.
TEST(BatchDirectoryReserveTest, NumbersOnDiskAreNeverReused) {
  TempDir dir, full;
  // clang-format off
  for (const char* name : {"7-old", "x12", "99999999999999999999", "0012", "3-重跑2"}) {
    fs::create_directory(dir / (kPrefix + name));  // the third is too long for 64 bits
  }
  // clang-format on
  EXPECT_EQ(reserve(dir.path(), "card-1"), kPrefix + "13");
  fs::remove(dir / (kPrefix + "13"));  // a registered card whose directory was deleted
  EXPECT_EQ(reserve(dir.path(), "card-1"), kPrefix + "13");
  fs::create_directory(full / (kPrefix + "9223372036854775805"));
  EXPECT_EQ(reserve(full.path(), "a"), kPrefix + "9223372036854775806");
  EXPECT_EQ(messageOf([&] { reserve(full.path(), "b"); }), "卡号超出范围，请检查输出目录。");
}

// "link" and "lock": the registry or its lock a symbolic link to a valid registry.
TEST(BatchDirectoryReserveTest, BrokenRegistryStopsWithoutTouchingAnything) {
  const std::string unreadable = "无法读取批次编号索引；请保留该文件并检查输出位置。";
  for (const auto& [registry, message] : std::vector<std::pair<std::string, std::string>>{
           {"{\"cards\":", unreadable},
           {R"({"cards":[],"schema":1})", unreadable},
           {R"({"cards":{},"schema":2})", "批次编号索引版本不受支持。"},
           {"link", "批次编号索引不能是符号链接。"},
           {"lock", "无法打开批次编号锁："}}) {
    TempDir dir;
    writeFile(dir / "elsewhere", R"({"cards":{},"schema":1})");
    const fs::path path = dir / (registry == "lock" ? BatchDirectory::lockFileName
                                                    : BatchDirectory::registryFileName);
    if (registry == "link" || registry == "lock") fs::create_symlink(dir / "elsewhere", path);
    if (registry != "link" && registry != "lock") writeFile(path, registry);
    const auto before = contents(dir.path());
    EXPECT_TRUE(messageOf([&] { reserve(dir.path(), "card"); }).starts_with(message)) << message;
    EXPECT_EQ(contents(dir.path()), before) << message;
  }
}

TEST(BatchDirectoryReserveTest, RegistryThatCannotBeSavedRollsTheDirectoryBack) {
  TempDir dir;
  reserve(dir.path(), "first");
  const auto before = contents(dir.path());
  // Cap the file size for a moment so that the new registry cannot be written.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit capped{16, limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &capped);
  const std::string message = messageOf([&] { reserve(dir.path(), "second"); });
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_TRUE(message.starts_with("无法保存卡号索引，本次未开始处理：")) << message;
  EXPECT_EQ(contents(dir.path()), before);
}

// Twelve processes, three for each of four cards, started together.
TEST(BatchDirectoryReserveTest, ConcurrentProcessesGetDistinctNumbers) {
  TempDir dir;
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 12; ++i) {
    children.push_back(fork());
    if (children.back() != 0) continue;
    close(start[1]);
    char byte;
    if (read(start[0], &byte, 1) < 0) _exit(2);  // returns when the pipe closes
    _exit(messageOf([&] { reserve(dir.path(), "card-" + std::to_string(i % 4)); }).empty() ? 0 : 1);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t child : children) {
    int status = 0;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && !WEXITSTATUS(status));
  }
  // The same names as twelve reservations one after another.
  TempDir sequential;
  for (int i = 0; i < 12; ++i) reserve(sequential.path(), "card-" + std::to_string(i % 4));
  for (const auto& [name, content] : contents(sequential.path())) {
    EXPECT_TRUE(fs::exists(dir / name)) << name;
  }
}

}  // namespace
}  // namespace kestrel
