// SPDX-License-Identifier: MIT
#include "core/cards/camera_cards.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "core/base/file_io.h"

namespace kestrel::CameraCards {

namespace fs = std::filesystem;

namespace {

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isWordCharacter(char c) {
  return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// ^[0-9]{3}[A-Za-z0-9_]{5}$: how the DCF standard names camera image folders
// ("100CANON", "101_FUJI", "100NIKON").
bool isDCFFolderName(std::string_view name) {
  return name.size() == 8 && std::all_of(name.begin(), name.begin() + 3, isDigit) &&
         std::all_of(name.begin() + 3, name.end(), isWordCharacter);
}

bool isJPEGName(const fs::path& name) {
  const std::string extension = asciiLower(name.extension().string());
  return extension == ".jpg" || extension == ".jpeg";
}

// The names at the top of the volume, in listing order; the search stops at
// the first camera name. An unreadable folder has no names.
bool hasCameraNames(const fs::path& volume) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(volume, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const fs::path name = it->path().filename();
    if (isDCFFolderName(name.native()) || isJPEGName(name)) return true;
  }
  return false;
}

// Absolute, with ".", ".." and repeated or trailing separators removed.
fs::path standardized(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  absolute = absolute.lexically_normal();
  if (absolute.has_relative_path() && !absolute.has_filename()) absolute = absolute.parent_path();
  return absolute;
}

bool isSameOrInside(const std::string& path, const std::string& folder) {
  if (!path.starts_with(folder)) return false;
  return path.size() == folder.size() || folder.ends_with('/') || path[folder.size()] == '/';
}

}  // namespace

bool qualifies(std::string_view protocolName, bool removable, bool hasCameraContent) {
  const std::string protocol = asciiLower(protocolName);
  if (protocol.find("secure digital") != std::string::npos || protocol == "sd") return true;
  return removable && hasCameraContent;
}

std::optional<CameraCard> cardFor(const VolumeFacts& volume) {
  std::error_code ec;
  const fs::path dcim = volume.volume / "DCIM";
  const bool hasDCIM = fs::is_directory(dcim, ec);
  if (!qualifies(volume.protocol, volume.removable, hasDCIM || hasCameraNames(volume.volume))) {
    return std::nullopt;
  }
  const fs::path location = standardized(volume.volume);
  CameraCard card;
  card.id = "volume:" + (volume.uuid && !volume.uuid->empty() ? *volume.uuid : location.string());
  card.name = volume.name && !volume.name->empty() ? *volume.name : location.filename().string();
  card.volume = volume.volume;
  card.photoFolder = hasDCIM ? dcim : volume.volume;
  return card;
}

std::vector<CameraCard> scan() { return scan(SystemRoots{}); }

std::vector<CameraCard> scan(const SystemRoots& roots) {
  try {
    std::vector<CameraCard> cards;
    for (const VolumeFacts& volume : MountedVolumes::list(roots)) {
      if (std::optional<CameraCard> card = cardFor(volume)) cards.push_back(std::move(*card));
    }
    std::stable_sort(cards.begin(), cards.end(), [](const CameraCard& a, const CameraCard& b) {
      return a.volume.native() < b.volume.native();
    });
    return cards;
  } catch (const std::exception&) {
    return {};
  }
}

std::string sourceIdentity(const fs::path& folder) { return sourceIdentity(folder, SystemRoots{}); }

std::string sourceIdentity(const fs::path& folder, const SystemRoots& roots) {
  const std::string path = canonicalURL(folder).string();
  for (const CameraCard& card : scan(roots)) {
    if (isSameOrInside(path, card.volume.string())) return card.id;
  }
  return "folder:" + path;
}

}  // namespace kestrel::CameraCards
