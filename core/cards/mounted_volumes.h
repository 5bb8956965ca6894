// SPDX-License-Identifier: MIT
// MountedVolumes: the mounted removable-media volumes of this Linux system and
// the few facts about each that camera card discovery needs.
//
// Facts come from the kernel and from udev, never from a daemon:
//  - the mount table /proc/self/mountinfo (only mounts below the places
//    desktops mount removable media: /media/<user>/, /media/, /run/media/<user>/);
//  - sysfs for the block device behind the mount, its whole disk, the
//    "removable" attribute and the bus the disk hangs on;
//  - udev's /dev/disk/by-uuid and /dev/disk/by-label links for the file
//    system's UUID and label, with a libblkid probe of the device node when
//    those links are missing (systems without udev, containers).
// Every place read from is a field of SystemRoots, so tests can point them at
// a fake tree.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct SystemRoots {
  std::filesystem::path mountInfo = "/proc/self/mountinfo";
  std::filesystem::path sys = "/sys";
  std::filesystem::path dev = "/dev";  // device nodes handed to libblkid
  std::filesystem::path devDisk = "/dev/disk";
  // Text prefixes of the mount points considered; a mount point is looked at
  // when its path begins with one of them.
  std::vector<std::string> mountPrefixes = {"/media/", "/run/media/"};
};

struct VolumeFacts {
  std::filesystem::path volume;  // the mount point
  std::string device;            // kernel device name, e.g. "sdb1", "mmcblk0p1", "loop3"
  // Bus or card protocol of the disk: "SD", "MMC", "USB", "SATA", "NVMe",
  // "SCSI", "virtio", "loop", …; empty when not recognised.
  std::string protocol;
  bool removable = false;           // the kernel's removable-media flag
  std::optional<std::string> uuid;  // file system UUID as udev/libblkid print it
  std::optional<std::string> name;  // file system label

  bool operator==(const VolumeFacts&) const = default;
};

namespace MountedVolumes {

// The mounted volumes under the removable-media mount places that are backed
// by a block device, in mount table order. A mount point that is mounted over
// is reported once, for the mount on top. Never fails: an unreadable mount
// table gives an empty list, a volume whose device cannot be found is left out.
std::vector<VolumeFacts> list(const SystemRoots& roots = {});

}  // namespace MountedVolumes

}  // namespace kestrel
