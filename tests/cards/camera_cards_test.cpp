// SPDX-License-Identifier: MIT
// Camera card discovery over fake mount tables, sysfs trees and udev links.
#include "core/cards/camera_cards.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using Attributes = std::vector<std::pair<std::string, std::string>>;

// Device folders below /sys/devices, as the kernel lays them out per bus.
constexpr const char* kUSB = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0";
constexpr const char* kMMC = "pci0000:00/0000:00:1c.0/0000:02:00.0/mmc_host/mmc0/mmc0:aaaa";
constexpr const char* kSATA = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
constexpr const char* kNVMe = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
constexpr const char* kVirtio = "pci0000:00/0000:00:02.0/virtio1";
constexpr const char* kSCSI = "pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0";

void linkTo(const fs::path& target, const fs::path& link) {
  fs::create_directories(link.parent_path());
  if (!fs::is_symlink(link)) fs::create_symlink(target, link);
}

// A mount table, sysfs and /dev in a scratch folder, laid out like the real ones.
class FakeSystem {
 public:
  FakeSystem() : base_(fs::canonical(dir_.path())) {
    const std::string media = (base_ / "media").string() + "/";
    roots_ = {base_ / "mountinfo", base_ / "sys", base_ / "dev", base_ / "dev/disk", {media}};
    writeFile(roots_.mountInfo, "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n");
  }

  const SystemRoots& roots() const { return roots_; }
  fs::path operator/(std::string_view relative) const { return base_ / relative; }

  // The disk /sys/devices/<bus>/block/<disk> and its `partition` ("": none), the last of the
  // two numbered `number`; `attributes` are files of the disk's device (SCSI "model", MMC "type").
  void addDisk(const std::string& bus, const std::string& disk, const std::string& partition,
               const std::string& number, bool removable, const Attributes& attributes = {}) {
    const fs::path device = roots_.sys / "devices" / bus, folder = device / "block" / disk;
    fs::create_directories(folder);
    writeFile(folder / "removable", removable ? "1\n" : "0\n");
    for (const auto& [name, value] : attributes) writeFile(device / name, value);
    linkTo("../..", folder / "device");
    fs::path node = folder;
    if (!partition.empty()) {
      node = folder / partition;
      fs::create_directories(node);
      writeFile(node / "partition", "1\n");
    }
    linkTo("../.." / node.lexically_relative(roots_.sys),
           roots_.sys / "class/block" / node.filename());
    linkTo("../.." / node.lexically_relative(roots_.sys), roots_.sys / "dev/block" / number);
  }

  // Appends a mount table line, with paths escaped as the kernel does.
  void mount(const std::string& number, const std::string& source, const fs::path& mountPoint,
             const std::string& root = "/") {
    fs::create_directories(mountPoint);
    std::string point;
    for (const char c : mountPoint.string())
      point += c == ' ' ? "\\040" : c == '\\' ? "\\134" : std::string(1, c);
    const std::string line = "300 27 " + number + " " + root + " " + point +
                             " rw,nosuid shared:300 - vfat " + source + " rw,codepage=437\n";
    writeFile(roots_.mountInfo, testing::readFile(roots_.mountInfo) + line);
  }

  // udev's link /dev/disk/<kind>/<name> to the device node.
  void addLink(const std::string& kind, const std::string& name, const std::string& device) {
    linkTo("../../" + device, roots_.devDisk / kind / name);
  }

 private:
  TempDir dir_;
  fs::path base_;
  SystemRoots roots_;
};

TEST(MountedVolumesTest, FactsOfEachKindOfDisk) {
  // clang-format off
  const struct {
    const char* what, *bus; std::string disk, partition; bool removable; Attributes attributes;
    std::string protocol;
  } cases[] = {
      {"SD in a built-in reader", kMMC, "mmcblk0", "mmcblk0p1", false, {{"type", "SD\n"}}, "SD"},
      {"soldered eMMC", kMMC, "mmcblk1", "mmcblk1p1", false, {{"type", "MMC\n"}}, "MMC"},
      {"SD slot of a USB reader", kUSB, "sdc", "sdc1", true, {{"model", "SD/MMC\n"}}, "SD"},
      {"microSD slot", kUSB, "sdc", "sdc1", true, {{"model", "MicroSD/M2\n"}}, "SD"},
      {"USB SSD", kUSB, "sdd", "sdd1", false, {{"model", "Portable SSD T7\n"}}, "USB"},
      {"SATA disk", kSATA, "sda", "sda2", false, {}, "SATA"},
      {"NVMe disk", kNVMe, "nvme0n1", "nvme0n1p1", false, {}, "NVMe"},
      {"virtio disk", kVirtio, "vdb", "", false, {}, "virtio"},
      {"loop device", "virtual", "loop3", "", false, {}, "loop"},
      {"other SCSI disk", kSCSI, "sde", "sde1", true, {}, "SCSI"},
  };
  // clang-format on
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    FakeSystem system;
    system.addDisk(row.bus, row.disk, row.partition, "8:17", row.removable, row.attributes);
    const std::string device = row.partition.empty() ? row.disk : row.partition;
    system.mount("8:17", "/dev/" + device, system / "media/user/CARD");
    // No udev links and no device node: neither UUID nor label is known.
    const VolumeFacts expected{
        system / "media/user/CARD", device, row.protocol, row.removable, {}, {}};
    EXPECT_EQ(MountedVolumes::list(system.roots()), std::vector<VolumeFacts>{expected});
  }
}

TEST(MountedVolumesTest, OnlyWholeFileSystemsUnderTheMediaPlacesAsSeenOnTop) {
  FakeSystem system;
  system.addDisk(kUSB, "sdb", "sdb1", "8:17", true);
  system.addDisk(kUSB, "sdb", "sdb2", "8:18", true);
  system.mount("8:17", "/dev/sdb1", system / "mnt/elsewhere");  // not a media place
  system.mount("8:17", "/dev/sdb1", system / "media/user/A");
  system.mount("8:17", "/dev/sdb1", system / "media/user/bind", "/DCIM");  // a folder of it
  system.mount("8:18", "/dev/sdb2", system / "media/user/B");
  system.mount("0:60", "tmpfs", system / "media/user/B");      // hides B, no block device
  system.mount("0:61", "/dev/sdb2", system / "media/user/C");  // FUSE: anonymous number
  system.mount("8:99", "/dev/sdz1", system / "media/user/D");  // device gone
  system.mount("8:17", "/dev/sdb1", system / "media/user/E F\\G");

  std::vector<std::string> found;
  for (const VolumeFacts& v : MountedVolumes::list(system.roots())) {
    found.push_back(v.volume.lexically_relative(system / "media/user").string() + " " + v.device);
  }
  EXPECT_EQ(found, (std::vector<std::string>{"A sdb1", "C sdb2", "E F\\G sdb1"}));
}

// udev's links win; without one the file system itself is probed. The fake
// device node is an ext4 image, which libblkid reads like a disk.
TEST(MountedVolumesTest, UUIDAndLabelFromUdevLinksElseFromTheFileSystem) {
  FakeSystem system;
  system.addDisk(kUSB, "sdb", "sdb1", "8:17", true);
  system.mount("8:17", "/dev/sdb1", system / "media/user/card");
  system.addLink("by-label", "NIKON\\x20D850", "sdb1");
  system.addLink("by-uuid", "AAAA-BBBB", "sdc1");  // another disk's links
  system.addLink("by-label", "OTHER", "sdc1");
  const fs::path node = system / "dev/sdb1";
  writeFile(node, "");
  fs::resize_file(node, 4 << 20);
  const std::string uuid = "0b4bd5c9-1c5e-4a55-9a43-2d1e86f0c2a1";
  const std::string mkfs =
      "mkfs.ext4 -q -F -L EOS_DIGITAL -U " + uuid + " '" + node.string() + "' >/dev/null 2>&1";
  if (std::system(mkfs.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 is needed to build an image";
  const auto volumes = MountedVolumes::list(system.roots());
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].uuid, uuid);
  EXPECT_EQ(volumes[0].name, "NIKON D850");
}

// SD by name, in any case, is a card whatever it holds; any other medium
// must be removable and hold a DCIM folder or camera names on top.
TEST(CameraCardsTest, CardRulesForVolumeContents) {
  // clang-format off
  const struct {
    const char* what; std::string protocol; bool removable;
    std::vector<std::string> folders, files; std::optional<std::string> uuid, label;
    bool isCard, photoFolderIsDCIM;
  } cases[] = {
      {"SD with DCIM", "SECURE DIGITAL Card", false, {"DCIM"}, {}, "3961", "EOS", true, true},
      {"empty SD card, no UUID or label", "sd", false, {}, {}, std::nullopt, "", true, false},
      {"SDIO is no card", "SDIO", false, {"DCIM"}, {}, "U", "WIFI", false, false},
      {"only a DCF folder", "USB", true, {"101_FUJI"}, {}, "U", "STICK", true, false},
      {"a JPEG on top", "USB", true, {}, {"IMG_0001.JPG"}, "U", "STICK", true, false},
      {"mixed-case .jpeg", "USB", true, {}, {"x.JpEg"}, "U", "STICK", true, false},
      {"DCIM as a file", "USB", true, {}, {"DCIM"}, "U", "STICK", false, false},
      {"non-removable with DCIM", "USB", false, {"DCIM"}, {}, "U", "DISK", false, false},
      {"no camera names", "USB", true, {"1000ABCDE", "10ABCDEF", "100ABC-E"},
       {"jpg", ".jpg", "a.jpg.txt"}, "U", "STICK", false, false},
  };
  // clang-format on
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const fs::path volume = fs::canonical(dir.path()) / "NO NAME";
    fs::create_directories(volume);
    for (const std::string& folder : row.folders) fs::create_directories(volume / folder);
    for (const std::string& file : row.files) writeFile(volume / file, "");

    const auto card =
        CameraCards::cardFor({volume, "sdb1", row.protocol, row.removable, row.uuid, row.label});
    ASSERT_EQ(card.has_value(), row.isCard);
    if (!card) continue;
    EXPECT_EQ(card->id, "volume:" + row.uuid.value_or(volume.string()));
    EXPECT_EQ(card->name, row.label.value_or("").empty() ? "NO NAME" : *row.label);
    EXPECT_EQ(card->photoFolder, row.photoFolderIsDCIM ? volume / "DCIM" : volume);
  }
}

TEST(CameraCardsTest, ScanSortsByMountPathAndIdentifiesFoldersOnCards) {
  FakeSystem system;
  system.addDisk(kUSB, "sdb", "sdb1", "8:17", true);
  system.addDisk(kMMC, "mmcblk0", "mmcblk0p1", "179:1", false, {{"type", "SD\n"}});
  system.addDisk(kSATA, "sda", "sda1", "8:1", false);
  system.addLink("by-uuid", "3961-3035", "sdb1");
  system.addLink("by-uuid", "B-UUID", "mmcblk0p1");
  const fs::path card = system / "media/user/CARD", card2 = system / "media/user/CARD2",
                 backup = system / "media/user/BACKUP";
  system.mount("179:1", "/dev/mmcblk0p1", card2);  // mounted in the opposite order of the paths
  system.mount("8:17", "/dev/sdb1", card);
  system.mount("8:1", "/dev/sda1", backup);  // a fixed disk: no card
  fs::create_directories(card / "DCIM/100ABCDE");
  fs::create_directories(backup / "DCIM");
  fs::create_directories(system / "media/user/CARD3");  // not mounted
  linkTo(card / "DCIM", system / "links/photos");

  EXPECT_EQ(CameraCards::scan(system.roots()),
            (std::vector<CameraCard>{{"volume:3961-3035", "CARD", card, card / "DCIM"},
                                     {"volume:B-UUID", "CARD2", card2, card2}}));

  // clang-format off
  const struct { fs::path folder; std::string identity; } cases[] = {
      {card, "volume:3961-3035"},
      {card / "DCIM/./100ABCDE/../100ABCDE//", "volume:3961-3035"},
      {system / "links/photos/100ABCDE", "volume:3961-3035"},
      {card2 / "x", "volume:B-UUID"},
      {system / "media/user/CARD3", "folder:" + (system / "media/user/CARD3").string()},
      {backup / "DCIM", "folder:" + (backup / "DCIM").string()},
  };
  // clang-format on
  for (const auto& row : cases) {
    EXPECT_EQ(CameraCards::sourceIdentity(row.folder, system.roots()), row.identity) << row.folder;
  }
}

}  // namespace
}  // namespace kestrel
