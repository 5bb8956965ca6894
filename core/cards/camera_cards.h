// SPDX-License-Identifier: MIT
// CameraCards: finds the mounted volumes that look like camera cards and
// gives every input folder a stable source identity, so that the same card
// gets the same identity each time it is inserted, whatever folder on it is
// chosen. No state is kept; every call looks at the system afresh, and calls
// may run at the same time on different threads.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cards/mounted_volumes.h"

namespace kestrel {

struct CameraCard {
  // "volume:" + the file system UUID, or "volume:" + the mount path when the
  // volume has no UUID.
  std::string id;
  std::string name;  // the volume label, else the mount folder's name
  std::filesystem::path volume;
  // The volume's "DCIM" folder when there is one, else the volume itself.
  std::filesystem::path photoFolder;

  bool operator==(const CameraCard&) const = default;
};

namespace CameraCards {

// The camera cards mounted now, sorted by mount path. Never fails: an empty
// list when nothing qualifies or the system's facts cannot be read.
std::vector<CameraCard> scan();
std::vector<CameraCard> scan(const SystemRoots& roots);

// The card a mounted volume stands for, or nothing when it does not count as
// one (see qualifies). Camera content is a "DCIM" folder at the top of the
// volume, or a top-level DCF image folder name ("100CANON": three digits and
// five letters, digits or underscores) or .jpg/.jpeg file.
std::optional<CameraCard> cardFor(const VolumeFacts& volume);

// The id of the card `folder` lies on, else "folder:" + the folder's absolute
// path with "." / ".." removed and symbolic links resolved. Scans afresh, so
// a card removed meanwhile gives the "folder:" form. Never fails.
std::string sourceIdentity(const std::filesystem::path& folder);
std::string sourceIdentity(const std::filesystem::path& folder, const SystemRoots& roots);

// Whether a volume counts as a camera card: an SD card always (even when
// empty); any other medium only when it is removable and holds camera
// content. `protocolName` is compared without regard to letter case.
bool qualifies(std::string_view protocolName, bool removable, bool hasCameraContent);

}  // namespace CameraCards

}  // namespace kestrel
