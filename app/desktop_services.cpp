// SPDX-License-Identifier: MIT
#include "app/desktop_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QUrl>

namespace kestrel {

std::optional<std::filesystem::path> DialogFolderChooser::chooseFolder(
    const FolderRequest& request) {
  QFileDialog dialog(QApplication::activeWindow(), request.message);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  // A read-only view hides "new folder": only the output may be created here.
  dialog.setOption(QFileDialog::ReadOnly, !request.canCreateFolders);
  dialog.setLabelText(QFileDialog::Accept, request.prompt);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return std::filesystem::path(
      QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString());
}

void UrlOpener::open(const std::filesystem::path& location) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(location.c_str())));
}

AppServices desktopServices() {
  AppServices services;
  services.folders = std::make_shared<DialogFolderChooser>();
  services.opener = std::make_shared<UrlOpener>();
  services.scanCards = [] { return CameraCards::scan(); };
  services.runBatch = [](const BatchConfiguration& config, std::shared_ptr<CancellationToken> token,
                         BatchProcessor::ProgressCallback progress) {
    return BatchProcessor::run(config, std::move(token), std::move(progress));
  };
  services.mountTable = "/proc/self/mountinfo";
  return services;
}

}  // namespace kestrel
