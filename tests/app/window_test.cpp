// SPDX-License-Identifier: MIT
// The window over scripted services: every control is named for assistive
// technology, and nothing that changes a run's inputs can be used while a
// run is in progress.
#include <QAction>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "app/app_model.h"
#include "app/brand_images.h"
#include "app/main_window.h"
#include "app_fakes.h"
#include "window_support.h"

using namespace kestrel;
using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

// Controls that do not change what the next run does, so they stay usable
// during a run: stopping, looking for cards (how a pulled card is noticed),
// the appearance, the disclosure and the result buttons.
const QStringList kUsableWhileRunning = {"停止处理",     "重新检测相机卡", "界面外观",
                                         "高级设置",     "查看构图报告",   "打开结果文件夹",
                                         "查看过滤照片", "查看待复核"};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::unique_ptr<QSettings> settings_;
  ScriptedRunner runner_;
  ScriptedScanner scanner_;
  std::unique_ptr<AppModel> model_;
  std::unique_ptr<MainWindow> window_;

 private slots:
  void init() {
    settings_ = std::make_unique<QSettings>(dir_.filePath("kestrel.ini"), QSettings::IniFormat);
    const fs::path root(dir_.path().toStdString());
    fs::create_directories(root / "CARD" / "DCIM");
    scanner_.setCards({makeCard("volume:1234", "EOS_DIGITAL", root / "CARD")});
    runner_ = ScriptedRunner();
    runner_.waitForRelease = true;
    model_ = std::make_unique<AppModel>(
        AppServices{std::make_shared<QueuedChooser>(), std::make_shared<RecordingOpener>(),
                    scanner_.function(), runner_.function(), std::nullopt},
        *settings_);
    model_->useOutputFolder(QString::fromStdString((root / "results").string()));
    window_ = std::make_unique<MainWindow>(*model_, loadBrandImages(), *settings_);
    window_->show();
    QTRY_VERIFY(!model_->input().isEmpty());  // the one card is selected
  }
  void cleanup() {
    runner_.release();
    QTRY_VERIFY(!model_->running());
    window_.reset();
    model_.reset();
  }

  void everyControlHasAnAccessibleName() {
    model_->setAdvanced(true);
    for (QWidget* control : controls(window_.get())) {
      QVERIFY2(!control->accessibleName().isEmpty(), control->metaObject()->className());
    }
  }

  void inputsAreLockedWhileRunning() {
    auto* start = named<QPushButton>(window_.get(), "开始处理");
    QVERIFY(start);
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY(runner_.waiting());
    QCOMPARE(start->text(), QString("处理中…"));

    for (QWidget* control : controls(window_.get())) {
      if (kUsableWhileRunning.contains(control->accessibleName())) continue;
      QVERIFY2(!control->isEnabled(), qPrintable(control->accessibleName()));
    }
    for (QAction* action : window_->menuBar()->findChildren<QAction*>()) {
      if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_O) ||
          action->shortcut() == QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_O)) {
        QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
      }
    }

    auto* stop = named<QPushButton>(window_.get(), "停止处理");
    QVERIFY(stop);
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(stop->text(), QString("正在停止…"));
    QVERIFY(!stop->isEnabled());

    runner_.release();
    QTRY_COMPARE(model_->phase(), TaskPhase::cancelled);
    QCOMPARE(start->text(), QString("再处理一批"));
    for (QWidget* control : controls(window_.get())) {
      if (control->isVisible())
        QVERIFY2(control->isEnabled(), qPrintable(control->accessibleName()));
    }
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
