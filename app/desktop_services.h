// SPDX-License-Identifier: MIT
// The desktop side of AppServices: Qt's folder dialog, the desktop's default
// handlers, the real card scan and the real batch run.
#pragma once

#include "app/app_services.h"

namespace kestrel {

class DialogFolderChooser final : public FolderChooser {
 public:
  std::optional<std::filesystem::path> chooseFolder(const FolderRequest& request) override;
};

class UrlOpener final : public DesktopOpener {
 public:
  void open(const std::filesystem::path& location) override;
};

AppServices desktopServices();

}  // namespace kestrel
