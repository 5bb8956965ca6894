// SPDX-License-Identifier: MIT
// kestrel: the desktop application.
//
//   kestrel [FOLDER]
//
// FOLDER, when given, is taken as the photo folder as if it had been picked
// by hand (a file manager's "Open with" passes it). The person and face
// models are found by the usual search, or given through KESTREL_MODEL and
// KESTREL_FACE_MODEL. The remaining options exist for making the
// documentation's screenshots.
#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QDir>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <cstdlib>

#include "app/app_model.h"
#include "app/brand_images.h"
#include "app/desktop_services.h"
#include "app/main_window.h"
#include "app/release.h"
#include "core/base/crop_error.h"
#include "core/jpeg/malloc_tuning.h"

namespace {

using namespace kestrel;

std::optional<std::filesystem::path> pathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::filesystem::path(value);
}

// Saves a picture of the window once the run reaches the chosen state, then
// quits: "idle" when the window is ready, "progress" at the first snapshot
// past half of the photos, "finished" once a run has ended.
void takeScreenshot(QApplication& app, MainWindow& window, AppModel& model, const QString& file,
                    const QString& state) {
  const auto grab = [&app, &window, file] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const bool saved = window.grab().save(file);
    app.exit(saved ? 0 : 1);
  };
  // Long enough for the layout, the scroll to the result and the repaint.
  constexpr int kSettleMilliseconds = 500;
  if (state == QStringLiteral("progress")) {
    QObject::connect(&model, &AppModel::progressChanged, &window, [&model, grab] {
      const auto& p = model.progress();
      if (p && p->completed * 2 >= p->total && p->completed < p->total) grab();
    });
  } else if (state == QStringLiteral("finished")) {
    QObject::connect(&model, &AppModel::phaseChanged, &window, [&model, &window, grab] {
      if (model.phase() >= TaskPhase::completed) {
        QTimer::singleShot(kSettleMilliseconds, &window, grab);
      }
    });
  } else if (state == QStringLiteral("settings")) {
    // The advanced settings opened, as a click on their disclosure would,
    // and scrolled to their end (the race-number switches).
    for (auto* button : window.findChildren<QToolButton*>()) {
      if (button->accessibleName() == QStringLiteral("高级设置") && !button->isChecked()) {
        button->click();
      }
    }
    QTimer::singleShot(kSettleMilliseconds, &window, [&window, grab] {
      auto* scroll = window.findChild<QScrollArea*>();
      for (auto* box : window.findChildren<QCheckBox*>()) {
        if (scroll && box->accessibleName() == QStringLiteral("识别号码布")) {
          scroll->ensureWidgetVisible(box, 0, 160);
        }
      }
      QTimer::singleShot(kSettleMilliseconds, &window, grab);
    });
  } else {
    QTimer::singleShot(kSettleMilliseconds, &window, grab);
  }
}

}  // namespace

int main(int argc, char** argv) {
  tuneMallocForLargeBuffers();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kestrel"));
  QApplication::setOrganizationName(QStringLiteral("Kestrel"));
  QApplication::setApplicationDisplayName(QStringLiteral("隼影"));
  QApplication::setApplicationVersion(cropRelease().version);
  QApplication::setDesktopFileName(QStringLiteral(KESTREL_APP_ID));
  QApplication::setStyle(QStringLiteral("Fusion"));

  // Qt's own dialogs (folder chooser, date picker) in Chinese like the rest.
  QTranslator qtTexts;
  if (qtTexts.load(QStringLiteral("qtbase_zh_CN"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(&qtTexts);
  }

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("隼影：马拉松照片自动构图"));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("folder"),
                               QStringLiteral("要打开的照片文件夹，如同手动选择"),
                               QStringLiteral("[folder]"));
  const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                      QStringLiteral("保存窗口截图后退出（用于文档）"),
                                      QStringLiteral("file"));
  const QCommandLineOption screenshotAt(
      QStringLiteral("screenshot-at"),
      QStringLiteral("截图时机：idle、settings、progress 或 finished"), QStringLiteral("state"),
      QStringLiteral("idle"));
  const QCommandLineOption appearance(QStringLiteral("appearance"),
                                      QStringLiteral("界面外观：system、light 或 dark"),
                                      QStringLiteral("scheme"));
  const QCommandLineOption output(QStringLiteral("output"),
                                  QStringLiteral("保存结果的位置（代替默认位置）"),
                                  QStringLiteral("folder"));
  const QCommandLineOption start(QStringLiteral("start"),
                                 QStringLiteral("打开文件夹后立即开始处理"));
  for (const auto& option : {screenshot, screenshotAt, appearance, output, start}) {
    parser.addOption(option);
  }
  parser.process(app);

  BrandImages images;
  try {
    images = loadBrandImages();
  } catch (const CropError& error) {
    QMessageBox::critical(nullptr, QStringLiteral("隼影"), QString::fromUtf8(error.what()));
    return 1;
  }
  QApplication::setWindowIcon(applicationIcon(images));

  QSettings settings;
  AppModel model(desktopServices(), settings);
  model.setModelPaths(pathFromEnvironment("KESTREL_MODEL"),
                      pathFromEnvironment("KESTREL_FACE_MODEL"));
  if (parser.isSet(output)) model.useOutputFolder(QDir(parser.value(output)).absolutePath());
  const QString scheme = parser.value(appearance);
  if (scheme == QStringLiteral("light")) model.setAppearance(AppAppearance::light);
  if (scheme == QStringLiteral("dark")) model.setAppearance(AppAppearance::dark);

  MainWindow window(model, images, settings);
  window.show();
  window.raise();
  window.activateWindow();

  if (!parser.positionalArguments().isEmpty()) {
    model.openAtLaunch(QDir(parser.positionalArguments().constFirst()).absolutePath());
  }
  if (parser.isSet(start)) {
    // Once the launch folder has been taken in, after the first card scan.
    const auto startWhenReady = [&model] {
      if (!model.detectingCards() && !model.input().isEmpty() && !model.running() &&
          model.phase() == TaskPhase::idle) {
        model.start();
      }
    };
    // Queued: the input is announced before the choice has finished resetting the status.
    QObject::connect(&model, &AppModel::inputChanged, &window, startWhenReady,
                     Qt::QueuedConnection);
    startWhenReady();
  }
  if (parser.isSet(screenshot)) {
    takeScreenshot(app, window, model, parser.value(screenshot), parser.value(screenshotAt));
  }
  return QApplication::exec();
}
