// SPDX-License-Identifier: MIT
// Camera card discovery and the mount watcher against this machine's kernel:
// an ext4 image is loop-mounted where desktops mount removable media. Needs
// root and loop devices; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "core/cards/camera_cards.h"
#include "core/cards/mount_watcher.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kLabel = "KESTREL T1";

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class RealVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a test volume needs root";
    // Runs of these tests on this machine take turns, so that no other one
    // mounts while the watcher test counts changes (ctest runs in parallel).
    lock_ = ::open((fs::temp_directory_path() / "kestrel-cards-mount-tests.lock").c_str(),
                   O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock_ >= 0) ::flock(lock_, LOCK_EX);

    const fs::path image = dir_ / "card.img";
    testing::writeFile(image, "");
    fs::resize_file(image, 8 << 20);
    if (!run("mkfs.ext4 -q -F -L '" + std::string(kLabel) + "' -U " + uuid_ + " " +
             image.string())) {
      GTEST_SKIP() << "mkfs.ext4 could not build the test volume";
    }
    // Where udisks would mount a medium for this user.
    const passwd* user = getpwuid(geteuid());
    const fs::path media = fs::path("/media") / (user != nullptr ? user->pw_name : "root");
    createdMedia_ = fs::create_directories(media);
    mountPoint_ = media / ("kestrel-test-" + std::to_string(getpid()));
    fs::create_directory(mountPoint_);
    mounted_ = run("mount -o loop " + image.string() + " " + mountPoint_.string());
    if (!mounted_) GTEST_SKIP() << "mount -o loop failed (no loop devices here?)";
  }

  // Unmounts and removes what SetUp made, whether the test passed or not.
  ~RealVolumeTest() override {
    if (!unmount()) run("umount -l " + mountPoint_.string());
    std::error_code ec;
    if (!mountPoint_.empty()) fs::remove(mountPoint_, ec);
    if (createdMedia_) fs::remove(mountPoint_.parent_path(), ec);
    if (lock_ >= 0) ::close(lock_);
  }

  bool unmount() {
    if (mounted_ && run("umount " + mountPoint_.string())) mounted_ = false;
    return !mounted_;
  }

  testing::TempDir dir_;
  int lock_ = -1;
  const std::string uuid_ = "4b657374-7265-4c00-8000-0000000000a1";
  fs::path mountPoint_;
  bool createdMedia_ = false, mounted_ = false;
};

TEST_F(RealVolumeTest, LoopVolumeFactsAreReadButItIsNoCard) {
  fs::create_directory(mountPoint_ / "DCIM");
  const std::vector<VolumeFacts> volumes = MountedVolumes::list();
  const auto found = std::find_if(volumes.begin(), volumes.end(),
                                  [&](const VolumeFacts& v) { return v.volume == mountPoint_; });
  ASSERT_NE(found, volumes.end()) << "the mounted test volume was not listed";
  EXPECT_TRUE(found->device.starts_with("loop")) << found->device;
  EXPECT_EQ(found->protocol, "loop");
  EXPECT_FALSE(found->removable);
  EXPECT_EQ(found->uuid, uuid_);
  EXPECT_EQ(found->name, kLabel);

  // A loop disk is neither removable nor an SD card, DCIM or not.
  for (const CameraCard& card : CameraCards::scan()) EXPECT_NE(card.volume, mountPoint_);
  EXPECT_EQ(CameraCards::sourceIdentity(mountPoint_ / "DCIM"),
            "folder:" + (mountPoint_ / "DCIM").string());
  // The same volume on the SD protocol would be this card.
  VolumeFacts asSD = *found;
  asSD.protocol = "SD";
  EXPECT_EQ(CameraCards::cardFor(asSD),
            (CameraCard{"volume:" + uuid_, kLabel, mountPoint_, mountPoint_ / "DCIM"}));
}

TEST_F(RealVolumeTest, WatcherReportsUnmountAndMountOnceEach) {
  MountWatcher watcher;
  EXPECT_FALSE(watcher.waitForChange(0ms));
  ASSERT_TRUE(unmount());
  EXPECT_TRUE(watcher.waitForChange(1000ms));
  EXPECT_FALSE(watcher.waitForChange(0ms)) << "a reported change was reported again";

  mounted_ = run("mount -o loop " + (dir_ / "card.img").string() + " " + mountPoint_.string());
  ASSERT_TRUE(mounted_);
  // As an event loop sees it: the descriptor shows an exceptional condition.
  pollfd entry{watcher.fd(), POLLPRI, 0};
  ASSERT_EQ(::poll(&entry, 1, 1000), 1);
  EXPECT_NE(entry.revents & POLLPRI, 0);
  watcher.acknowledge();
  EXPECT_FALSE(watcher.waitForChange(0ms)) << "an acknowledged change was reported again";
}

}  // namespace
}  // namespace kestrel
