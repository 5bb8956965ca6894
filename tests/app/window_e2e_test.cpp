// SPDX-License-Identifier: MIT
// The real window on a real X server (run under xvfb-run): three of the
// shared race photos go through a real batch started with the mouse, and
// the result section must agree with the batch's summary.json. With
// KESTREL_TEST_MODELS the batch runs in automatic mode, else as a copy.
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <algorithm>

#include "app/app_model.h"
#include "app/brand_images.h"
#include "app/desktop_services.h"
#include "app/main_window.h"
#include "app_fakes.h"
#include "window_support.h"

using namespace kestrel;
using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 3;
constexpr int kRunTimeoutMilliseconds = 180'000;

QString text(const fs::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

class WindowEndToEndTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  fs::path input_;
  fs::path output_;
  std::optional<fs::path> models_;
  std::unique_ptr<QSettings> settings_;
  std::unique_ptr<AppModel> model_;
  std::unique_ptr<MainWindow> window_;

  template <typename T>
  T* control(const QString& name) {
    T* found = named<T>(window_.get(), name);
    if (!found) qWarning("no single control named %s", qPrintable(name));
    return found;
  }

 private slots:
  void initTestCase() {
    const QString data = qEnvironmentVariable("KESTREL_TEST_DATA");
    if (data.isEmpty()) {
      QSKIP("KESTREL_TEST_DATA is not set: the window check needs the shared race photos");
    }
    const fs::path photos = fs::path(data.toStdString()) / "race-large";
    std::vector<fs::path> all;
    for (const auto& entry : fs::directory_iterator(photos)) all.push_back(entry.path());
    std::sort(all.begin(), all.end());
    QVERIFY(all.size() >= kPhotos);
    const fs::path root(dir_.path().toStdString());
    input_ = root / "card" / "DCIM" / "100CANON";
    output_ = root / "results";
    fs::create_directories(input_);
    for (int i = 0; i < kPhotos; ++i) fs::copy_file(all[i], input_ / all[i].filename());
    if (const QString models = qEnvironmentVariable("KESTREL_TEST_MODELS"); !models.isEmpty()) {
      models_ = fs::path(models.toStdString());
    }

    settings_ = std::make_unique<QSettings>(dir_.filePath("kestrel.ini"), QSettings::IniFormat);
    AppServices services = desktopServices();
    services.folders = std::make_shared<QueuedChooser>();  // no dialog may open
    services.opener = std::make_shared<RecordingOpener>();
    services.mountTable.reset();
    model_ = std::make_unique<AppModel>(std::move(services), *settings_);
    if (models_) {
      model_->setModelPaths(*models_ / "yolo-fastest-1.1-xl", *models_ / "face-api");
    }
    window_ = std::make_unique<MainWindow>(*model_, loadBrandImages(), *settings_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    model_->openAtLaunch(text(input_));
    model_->useOutputFolder(text(output_));
    QTRY_COMPARE(model_->input(), text(input_));
  }

  void cleanupTestCase() {
    window_.reset();
    model_.reset();
  }

  // The benchmark modes skip the quality screening, and the window says so.
  void benchmarkModeWarnsAndSwitchesBack() {
    auto* disclosure = control<QToolButton>("高级设置");
    QVERIFY(disclosure);
    QTest::mouseClick(disclosure, Qt::LeftButton);
    auto* mode = control<QComboBox>("处理模式");
    QVERIFY(mode);
    QTRY_VERIFY(mode->isVisible());
    auto* warning = control<QLabel>("当前未启用画质筛选");
    QVERIFY(warning);
    QVERIFY(!warning->isVisible());

    mode->setFocus();
    QTest::keyClick(mode, Qt::Key_Down);  // auto → copy
    QCOMPARE(mode->currentText(), QString("原样复制 · 测速基准"));
    QCOMPARE(model_->mode(), ProcessingMode::copy);
    QVERIFY(warning->isVisible());

    auto* back = control<QPushButton>("切回自动处理");
    QVERIFY(back);
    QTest::mouseClick(back, Qt::LeftButton);
    QCOMPARE(model_->mode(), ProcessingMode::automatic);
    QCOMPARE(mode->currentText(), QString("自动构图与清晰度筛选"));
    QVERIFY(!warning->isVisible());

    if (!models_) QTest::keyClick(mode, Qt::Key_Down);  // without models: copy
  }

  void runFromTheWindowMatchesItsSummary() {
    auto* start = control<QPushButton>("开始处理");
    QVERIFY(start);
    QTest::mouseClick(start, Qt::LeftButton);
    auto* title = window_->findChild<QLabel*>("StatusTitle");
    QVERIFY(title);
    QTRY_COMPARE_WITH_TIMEOUT(title->text(), QString("处理完成"), kRunTimeoutMilliseconds);

    const fs::path batch = model_->summary()->runDirectory;
    QVERIFY(fs::exists(batch / "report.html"));
    QFile file(text(batch / "summary.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject summary = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(summary.value("processed").toInt(), kPhotos);

    const std::pair<const char*, const char*> tiles[] = {
        {"已处理", "processed"}, {"已裁剪", "cropped"}, {"保留原构图", "unchanged"},
        {"已过滤", "filtered"},  {"待复核", "review"},  {"失败", "failed"}};
    for (const auto& [tile, key] : tiles) {
      auto* value = control<QLabel>(QString::fromUtf8(tile));
      QVERIFY(value);
      QCOMPARE(value->text(), QString::number(summary.value(key).toInt()));
    }
    QVERIFY(control<QPushButton>("再处理一批"));
    QCOMPARE(control<QPushButton>("查看过滤照片")->isVisible(),
             summary.value("filtered").toInt() > 0);
  }
};

QTEST_MAIN(WindowEndToEndTest)
#include "window_e2e_test.moc"
