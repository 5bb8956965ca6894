// SPDX-License-Identifier: MIT
// Writing new files: never over an existing one, never a half-written file
// under a final name, also on a file system without RENAME_NOREPLACE and
// hard links (as FUSE and network mounts can be).
#include "core/base/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "core/base/detail/file_calls.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

int refusedAsUnsupported(const char*, const char*) {
  errno = EINVAL;
  return -1;
}
int noHardLinks(const char*, const char*) {
  errno = EPERM;
  return -1;
}

TEST(WriteNewFileTest, NeverReplacesAndLeavesNoTemporaryFile) {
  const detail::FileCalls real = detail::fileCalls();
  for (const bool bareFileSystem : {false, true}) {
    SCOPED_TRACE(bareFileSystem ? "without RENAME_NOREPLACE and links" : "ordinary");
    if (bareFileSystem) detail::fileCalls() = {refusedAsUnsupported, noHardLinks};
    testing::TempDir dir;
    const std::string photo = "JPEG bytes";
    writeNewFile(dir / "a.jpg",
                 {reinterpret_cast<const std::uint8_t*>(photo.data()), photo.size()});
    EXPECT_EQ(testing::readFile(dir / "a.jpg"), photo);
    testing::writeFile(dir / "b.jpg", "someone else's");
    try {
      writeNewFile(dir / "b.jpg", {reinterpret_cast<const std::uint8_t*>(photo.data()), 4});
      ADD_FAILURE() << "an existing file was replaced";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), EEXIST);
    }
    EXPECT_EQ(testing::readFile(dir / "b.jpg"), "someone else's");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
  }
  detail::fileCalls() = real;
}

}  // namespace
}  // namespace kestrel
