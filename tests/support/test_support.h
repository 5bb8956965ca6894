// SPDX-License-Identifier: MIT
// Helpers shared by the test suites: scratch folders and fixture lookup.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::testing {

// A fresh, empty directory removed again (with its contents) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The shared photographs (KESTREL_TEST_DATA) and models (KESTREL_TEST_MODELS),
// or nothing when the variable is unset or names no folder.
std::optional<std::filesystem::path> testDataDir();
std::optional<std::filesystem::path> testModelsDir();

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view content);

}  // namespace kestrel::testing

// Skips the current test with a clear message when the shared photographs
// are not available; otherwise binds `var` to their folder.
#define KESTREL_REQUIRE_TEST_DATA(var)                                                        \
  const auto var##_opt = ::kestrel::testing::testDataDir();                                   \
  if (!var##_opt) GTEST_SKIP() << "KESTREL_TEST_DATA is not set to the shared photos folder"; \
  const std::filesystem::path var = *var##_opt

#define KESTREL_REQUIRE_TEST_MODELS(var)                                                        \
  const auto var##_opt = ::kestrel::testing::testModelsDir();                                   \
  if (!var##_opt) GTEST_SKIP() << "KESTREL_TEST_MODELS is not set to the shared models folder"; \
  const std::filesystem::path var = *var##_opt
