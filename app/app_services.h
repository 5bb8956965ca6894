// SPDX-License-Identifier: MIT
// The services AppModel reaches outside itself for: the folder chooser, the
// file browser, the camera card scan and the batch run. The window gets the
// desktop implementations (desktop_services.h); tests pass fakes, so the
// model runs without dialogs, mounted cards or photographs.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/batch/batch_processor.h"
#include "core/cards/camera_cards.h"

namespace kestrel {

// What a folder chooser shows: the confirm button's text and the line that
// tells the operator what to pick.
struct FolderRequest {
  QString prompt;
  QString message;
  bool canCreateFolders = false;
};

class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  // The folder the operator confirmed, or nothing when they cancelled.
  virtual std::optional<std::filesystem::path> chooseFolder(const FolderRequest& request) = 0;
};

// Shows a folder in the file browser or a file in its default application.
class DesktopOpener {
 public:
  virtual ~DesktopOpener() = default;
  virtual void open(const std::filesystem::path& location) = 0;
};

// Both run on background threads and must not touch the model.
using CardScanner = std::function<std::vector<CameraCard>()>;
using BatchRunner =
    std::function<RunSummary(const BatchConfiguration&, std::shared_ptr<CancellationToken>,
                             BatchProcessor::ProgressCallback)>;

struct AppServices {
  std::shared_ptr<FolderChooser> folders;
  std::shared_ptr<DesktopOpener> opener;
  CardScanner scanCards;
  BatchRunner runBatch;
  // The mount table whose changes trigger a card scan; none: no watching.
  std::optional<std::filesystem::path> mountTable;
};

}  // namespace kestrel
