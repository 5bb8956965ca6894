// SPDX-License-Identifier: MIT
#include "core/cards/mounted_volumes.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>
#include <system_error>

namespace kestrel::MountedVolumes {

namespace fs = std::filesystem;

namespace {

// One line of the mount table, with the fields used here.
struct MountEntry {
  std::string majorMinor;  // "8:17"
  std::string root;        // the folder of the file system seen at the mount point
  std::string mountPoint;
  std::string source;  // "/dev/sdb1", or whatever the file system was mounted from
};

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The first line of a sysfs attribute without surrounding blanks ("" when
// the attribute is missing). SCSI pads its vendor and model texts with spaces.
std::string attribute(const fs::path& path) {
  std::string text = readText(path);
  text = text.substr(0, text.find('\n'));
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  return std::string(first, text.end());
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The kernel writes space, tab, newline and backslash in mount table paths as
// "\ooo" (three octal digits).
std::string decodeOctalEscapes(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// udev names its /dev/disk links with every byte outside a safe set written
// as "\xHH" ("NIKON\x20D850").
std::string decodeHexEscapes(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        hexValue(name[i + 2]) >= 0 && hexValue(name[i + 3]) >= 0) {
      out += static_cast<char>(hexValue(name[i + 2]) * 16 + hexValue(name[i + 3]));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

// Fields: id, parent id, major:minor, root, mount point, options, optional
// fields…, "-", file system type, source, super options.
std::vector<MountEntry> readMountTable(const fs::path& path) {
  std::vector<MountEntry> entries;
  std::istringstream lines(readText(path));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(in),
                                    std::istream_iterator<std::string>()};
    const auto separator =
        std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
    if (fields.size() < 6 || std::distance(separator, fields.end()) < 3) continue;
    entries.push_back({fields[2], decodeOctalEscapes(fields[3]), decodeOctalEscapes(fields[4]),
                       decodeOctalEscapes(*(separator + 2))});
  }
  return entries;
}

bool startsWithAny(const std::string& path, const std::vector<std::string>& prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const std::string& prefix) { return path.starts_with(prefix); });
}

// The sysfs folder of the block device a mount comes from. The device number
// names it exactly; file systems with anonymous device numbers (btrfs, FUSE
// block mounts) are found by the name of the device node they were mounted from.
std::optional<fs::path> deviceFolder(const SystemRoots& roots, const MountEntry& mount) {
  std::error_code ec;
  if (!mount.majorMinor.starts_with("0:")) {
    const fs::path folder = fs::canonical(roots.sys / "dev/block" / mount.majorMinor, ec);
    if (!ec && fs::is_directory(folder, ec)) return folder;
  }
  if (!mount.source.starts_with("/dev/")) return std::nullopt;
  // Follow links such as /dev/mapper/… or /dev/disk/by-uuid/… to the node.
  fs::path node = fs::path(mount.source.substr(5)).lexically_normal();
  const fs::path devRoot = fs::canonical(roots.dev, ec);
  if (!ec) {
    const fs::path resolved = fs::canonical(devRoot / node, ec);
    const fs::path relative = resolved.lexically_relative(devRoot);
    if (!ec && !relative.empty() && *relative.begin() != "..") node = relative;
  }
  // sysfs writes "/" in device names as "!" ("cciss/c0d0p1" → "cciss!c0d0p1").
  std::string sysName = node.string();
  std::replace(sysName.begin(), sysName.end(), '/', '!');
  const fs::path folder = fs::canonical(roots.sys / "class/block" / sysName, ec);
  if (ec || !fs::is_directory(folder, ec)) return std::nullopt;
  return folder;
}

// The device node's name below /dev, as udev creates it.
std::string deviceName(const fs::path& deviceFolder) {
  std::istringstream uevent(readText(deviceFolder / "uevent"));
  std::string line;
  while (std::getline(uevent, line)) {
    if (line.starts_with("DEVNAME=") && line.size() > 8) return line.substr(8);
  }
  std::string name = deviceFolder.filename().string();
  std::replace(name.begin(), name.end(), '!', '/');
  return name;
}

bool isNumbered(const std::string& component, std::string_view prefix) {
  return component.size() > prefix.size() && component.starts_with(prefix) &&
         std::all_of(component.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                     component.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A USB card reader shows each slot as a SCSI disk; readers name their SD slot
// in the model text ("SD/MMC", "SD Card Reader", "MicroSD/M2"). Only whole
// words count, so a "Portable SSD" is not taken for one.
bool modelNamesSDSlot(const std::string& model) {
  static constexpr std::array<std::string_view, 5> kWords = {"SD", "SDHC", "SDXC", "SDUC",
                                                             "MICROSD"};
  std::string word;
  for (std::size_t i = 0; i <= model.size(); ++i) {
    const unsigned char c = i < model.size() ? static_cast<unsigned char>(model[i]) : ' ';
    if (std::isalnum(c) != 0) {
      word += static_cast<char>(std::toupper(c));
      continue;
    }
    if (std::find(kWords.begin(), kWords.end(), word) != kWords.end()) return true;
    word.clear();
  }
  return false;
}

// The protocol text of a whole disk, from its name and the bus its sysfs
// device path runs through.
std::string protocolOf(const fs::path& sys, const fs::path& wholeDisk) {
  const std::string name = wholeDisk.filename().string();
  if (name.starts_with("mmcblk")) {
    // The MMC block driver serves SD cards, MMC cards and soldered eMMC
    // chips; the card's "type" tells them apart.
    return attribute(wholeDisk / "device/type") == "MMC" ? "MMC" : "SD";
  }
  if (name.starts_with("loop")) return "loop";

  std::error_code ec;
  fs::path sysRoot = fs::canonical(sys, ec);
  if (ec) sysRoot = sys;
  std::vector<std::string> components;
  for (const fs::path& part : wholeDisk.lexically_relative(sysRoot)) components.push_back(part);
  const auto has = [&](auto&& matches) {
    return std::any_of(components.begin(), components.end(), matches);
  };

  if (has([](const std::string& c) { return isNumbered(c, "usb"); })) {
    return modelNamesSDSlot(attribute(wholeDisk / "device/model")) ? "SD" : "USB";
  }
  if (name.starts_with("nvme") || has([](const std::string& c) { return c == "nvme"; })) {
    return "NVMe";
  }
  if (has([](const std::string& c) { return isNumbered(c, "ata"); })) return "SATA";
  if (has([](const std::string& c) { return isNumbered(c, "virtio"); })) return "virtio";
  if (has([](const std::string& c) { return isNumbered(c, "host"); })) return "SCSI";
  return "";
}

// The file system UUID or label from udev's links in `folder`
// (/dev/disk/by-uuid, /dev/disk/by-label), each pointing at the device node.
std::optional<std::string> udevLinkName(const fs::path& folder, const std::string& device) {
  const fs::path node = fs::path(device).filename();
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const fs::path target = fs::read_symlink(it->path(), ec);
    if (ec) {
      ec.clear();
      continue;
    }
    if (target.filename() == node) {
      names.push_back(decodeHexEscapes(it->path().filename().string()));
    }
  }
  if (names.empty()) return std::nullopt;
  return *std::min_element(names.begin(), names.end());
}

struct ProbedIdentity {
  std::optional<std::string> uuid;
  std::optional<std::string> label;
};

// Reads the UUID and label from the file system's superblock with libblkid.
// Needs read access to the device node (root or the "disk" group); without it
// nothing is found.
ProbedIdentity probe(const fs::path& node) {
  ProbedIdentity found;
  const std::unique_ptr<blkid_struct_probe, decltype(&blkid_free_probe)> pr(
      blkid_new_probe_from_filename(node.c_str()), &blkid_free_probe);
  if (!pr) return found;
  blkid_probe_enable_superblocks(pr.get(), 1);
  blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_UUID | BLKID_SUBLKS_LABEL);
  if (blkid_do_safeprobe(pr.get()) != 0) return found;
  const auto value = [&](const char* key) -> std::optional<std::string> {
    const char* data = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(pr.get(), key, &data, &length) != 0 || data == nullptr) {
      return std::nullopt;
    }
    std::string text(data, length);
    while (!text.empty() && text.back() == '\0') text.pop_back();  // length counts the NUL
    if (text.empty()) return std::nullopt;
    return text;
  };
  found.uuid = value("UUID");
  found.label = value("LABEL");
  return found;
}

std::optional<VolumeFacts> factsOf(const SystemRoots& roots, const MountEntry& mount) {
  const std::optional<fs::path> device = deviceFolder(roots, mount);
  if (!device) return std::nullopt;
  std::error_code ec;
  const fs::path wholeDisk =
      fs::exists(*device / "partition", ec) ? device->parent_path() : *device;

  VolumeFacts facts;
  facts.volume = mount.mountPoint;
  facts.device = deviceName(*device);
  facts.protocol = protocolOf(roots.sys, wholeDisk);
  // Partitions carry no removable flag of their own; the disk's applies.
  const fs::path removable =
      fs::exists(*device / "removable", ec) ? *device / "removable" : wholeDisk / "removable";
  facts.removable = attribute(removable) == "1";

  facts.uuid = udevLinkName(roots.devDisk / "by-uuid", facts.device);
  facts.name = udevLinkName(roots.devDisk / "by-label", facts.device);
  if (!facts.uuid || !facts.name) {
    ProbedIdentity probed = probe(roots.dev / facts.device);
    if (!facts.uuid) facts.uuid = std::move(probed.uuid);
    if (!facts.name) facts.name = std::move(probed.label);
  }
  return facts;
}

}  // namespace

std::vector<VolumeFacts> list(const SystemRoots& roots) {
  std::vector<VolumeFacts> volumes;
  try {
    std::vector<MountEntry> mounts = readMountTable(roots.mountInfo);
    std::erase_if(mounts, [&](const MountEntry& mount) {
      return !startsWithAny(mount.mountPoint, roots.mountPrefixes);
    });
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      // A later mount on the same place hides this one.
      const auto later = std::find_if(
          mounts.begin() + static_cast<std::ptrdiff_t>(i) + 1, mounts.end(),
          [&](const MountEntry& other) { return other.mountPoint == mounts[i].mountPoint; });
      if (later != mounts.end()) continue;
      // A bind mount of a folder (root other than "/") shows only part of a
      // volume; the volume itself is its mount of the whole file system.
      if (mounts[i].root != "/") continue;
      try {
        if (std::optional<VolumeFacts> facts = factsOf(roots, mounts[i])) {
          volumes.push_back(std::move(*facts));
        }
      } catch (const std::exception&) {
        // This volume's facts could not be read; the others still count.
      }
    }
  } catch (const std::exception&) {
    return {};
  }
  return volumes;
}

}  // namespace kestrel::MountedVolumes
