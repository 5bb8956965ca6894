// SPDX-License-Identifier: MIT
// AppModel driven through scripted services: card rules, start checks,
// progress, end-of-run texts and the persisted event fields.
#include "app/app_model.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include "app_fakes.h"

using namespace kestrel;
using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

fs::path toPath(const QString& text) { return fs::path(text.toStdString()); }
QString toText(const fs::path& path) { return QString::fromStdString(path.string()); }

// One model with scripted services over a temporary folder holding an input
// folder "photos" and room for an output root "results".
struct Fixture {
  QTemporaryDir dir;
  QSettings settings{dir.filePath("kestrel.ini"), QSettings::IniFormat};
  ScriptedScanner scanner;
  ScriptedRunner runner;
  std::shared_ptr<QueuedChooser> chooser = std::make_shared<QueuedChooser>();
  std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();

  Fixture() { fs::create_directories(root() / "photos"); }
  ~Fixture() { scanner.releaseAll(); }
  fs::path root() const { return toPath(dir.path()); }
  fs::path photos() const { return root() / "photos"; }
  fs::path results() const { return root() / "results"; }

  // The model once its first card scan has been applied, with its output
  // root in the temporary folder.
  std::unique_ptr<AppModel> model() {
    auto model = std::make_unique<AppModel>(
        AppServices{chooser, opener, scanner.function(), runner.function(), std::nullopt},
        settings);
    waitForScan(*model);
    chooser->answers.push_back(results());
    model->chooseOutput();
    return model;
  }

  // Picks the folder by hand through the chooser.
  void pickInput(AppModel& model, const fs::path& folder) {
    chooser->answers.push_back(folder);
    model.chooseInput();
  }

  static void waitForScan(AppModel& model) { QTRY_VERIFY(!model.detectingCards()); }
};

// Waits for every task of the card scan pool and delivers what they posted.
void settleScans() {
  QThreadPool::globalInstance()->waitForDone();
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

BatchProgress snapshot(std::int64_t completed, std::int64_t total, const std::string& file) {
  BatchProgress p;
  p.completed = completed;
  p.total = total;
  p.lastFile = file;
  return p;
}

}  // namespace

class AppModelTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QThreadPool::globalInstance()->setMaxThreadCount(8); }

  void statusTitleByPhase_data() {
    QTest::addColumn<TaskPhase>("phase");
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<bool>("hasInput");
    QTest::addColumn<int>("failedFiles");  // -1: no summary
    QTest::addColumn<QString>("title");
    QTest::newRow("idle, nothing chosen")
        << TaskPhase::idle << false << false << -1 << "等待选择照片";
    QTest::newRow("idle, folder chosen") << TaskPhase::idle << false << true << -1 << "照片已就绪";
    QTest::newRow("preparing") << TaskPhase::preparing << true << true << -1 << "正在准备照片";
    QTest::newRow("processing") << TaskPhase::processing << false << true << -1 << "正在处理照片";
    QTest::newRow("processing, stopping")
        << TaskPhase::processing << true << true << -1 << "正在停止";
    QTest::newRow("reporting") << TaskPhase::reporting << false << true << -1 << "正在生成对比报告";
    QTest::newRow("reporting, stopping")
        << TaskPhase::reporting << true << true << -1 << "正在保存已完成结果";
    QTest::newRow("completed") << TaskPhase::completed << false << true << 0 << "处理完成";
    QTest::newRow("completed with failures")
        << TaskPhase::completed << false << true << 2 << "处理完成，部分照片未成功";
    QTest::newRow("completed without summary")
        << TaskPhase::completed << false << true << -1 << "处理完成，部分照片未成功";
    QTest::newRow("cancelled") << TaskPhase::cancelled << true << true << 0
                               << "已停止，完成的结果已保留";
    QTest::newRow("failed") << TaskPhase::failed << false << true << -1 << "本次处理未完成";
  }
  void statusTitleByPhase() {
    QFETCH(TaskPhase, phase);
    QFETCH(bool, stopping);
    QFETCH(bool, hasInput);
    QFETCH(int, failedFiles);
    QFETCH(QString, title);
    std::optional<RunSummary> summary;
    if (failedFiles >= 0) {
      summary.emplace(BatchConfiguration("in", "out"));
      summary->counts.failed = failedFiles;
    }
    QCOMPARE(statusTitle(phase, stopping, hasInput, summary), title);
  }

  void startRefused_data() {
    QTest::addColumn<bool>("useLimit");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("output");  // relative to the temporary folder
    QTest::addColumn<QString>("eventName");
    QTest::addColumn<QString>("message");
    QTest::newRow("trial limit 0") << true << 0 << "results"
                                   << ""
                                   << "照片数量至少为1张。若要处理全部，请取消勾选「先处理前」。";
    QTest::newRow("output inside the input")
        << false << 0 << "photos/results"
        << ""
        << "输出必须与输入互相独立，不能相同、位于输入内或是输入的上级目录。";
    QTest::newRow("event name without a usable character")
        << true << 10 << "results"
        << " /// "
        << "赛事/分类名称为空或过长，请简化名称。";
  }
  void startRefused() {
    QFETCH(bool, useLimit);
    QFETCH(int, limit);
    QFETCH(QString, output);
    QFETCH(QString, eventName);
    QFETCH(QString, message);
    Fixture f;
    auto model = f.model();
    f.pickInput(*model, f.photos());
    f.chooser->answers.push_back(f.root() / toPath(output));
    model->chooseOutput();
    model->setUseLimit(useLimit);
    model->setLimit(limit);
    model->setEventName(eventName);

    model->start();

    QCOMPARE(model->phase(), TaskPhase::failed);
    QVERIFY(!model->running());
    QCOMPARE(model->message(), message);
    QCOMPARE(model->statusTitle(), QString("本次处理未完成"));
    QVERIFY(!fs::exists(f.root() / toPath(output)));
    settleScans();
    QCOMPARE(f.runner.runs(), 0);
  }

  void startNeedsAnInput() {
    Fixture f;
    auto model = f.model();
    model->start();
    QCOMPARE(model->phase(), TaskPhase::idle);
    QCOMPARE(f.runner.runs(), 0);
  }

  // Snapshots from parallel workers may arrive out of order; an older one
  // must not move the progress back.
  void progressKeepsTheNewestSnapshot() {
    Fixture f;
    f.runner.snapshots = {snapshot(2, 3, "b.jpg"), snapshot(1, 3, "a.jpg")};
    f.runner.waitForRelease = true;
    f.runner.counts.unchanged = 3;
    auto model = f.model();
    f.pickInput(*model, f.photos());

    model->start();
    QCOMPARE(model->phase(), TaskPhase::preparing);
    QCOMPARE(model->message(), QString("正在读取文件列表并准备识别。"));
    QVERIFY(model->running());
    model->start();  // ignored while running
    QTRY_VERIFY(f.runner.waiting());
    QCoreApplication::processEvents();

    QVERIFY(model->progress());
    QCOMPARE(model->progress()->completed, 2);
    QCOMPARE(model->phase(), TaskPhase::processing);
    QCOMPARE(model->message(), QString("b.jpg"));

    const int scansBefore = f.scanner.calls();
    f.runner.release();
    QTRY_COMPARE(model->phase(), TaskPhase::completed);
    QCOMPARE(f.runner.runs(), 1);
    QVERIFY(!model->running());
    QCOMPARE(model->summary()->processed, 3);
    // A finished run looks for cards again.
    settleScans();
    QCOMPARE(f.scanner.calls(), scansBefore + 1);
  }

  void lastSnapshotAnnouncesTheReport() {
    Fixture f;
    f.runner.snapshots = {snapshot(1, 2, "a.jpg"), snapshot(2, 2, "b.jpg")};
    f.runner.waitForRelease = true;
    auto model = f.model();
    f.pickInput(*model, f.photos());
    model->start();
    QTRY_VERIFY(f.runner.waiting());
    QCoreApplication::processEvents();
    QCOMPARE(model->phase(), TaskPhase::reporting);
    QCOMPARE(model->message(), QString("照片已写出，正在整理预览与报告。"));
    model->cancel();
    QCOMPARE(model->statusTitle(), QString("正在保存已完成结果"));
    f.runner.release();
    QTRY_COMPARE(model->phase(), TaskPhase::cancelled);
  }

  void endOfRun_data() {
    QTest::addColumn<int>("failedFiles");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("error");
    QTest::addColumn<TaskPhase>("phase");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    QTest::newRow("completed") << 0 << false << "" << TaskPhase::completed << "处理完成"
                               << "可以查看构图效果，再将可交付照片交给上传工具。";
    QTest::newRow("completed with failed files")
        << 1 << false << "" << TaskPhase::completed << "处理完成，部分照片未成功"
        << "请在报告中查看未成功文件的原因。";
    QTest::newRow("cancelled") << 1 << true << "" << TaskPhase::cancelled
                               << "已停止，完成的结果已保留"
                               << "已完成照片与报告保留，可打开结果查看。";
    QTest::newRow("failed") << 0 << false << "输出磁盘空间不足" << TaskPhase::failed
                            << "本次处理未完成"
                            << "输出磁盘空间不足";
  }
  void endOfRun() {
    QFETCH(int, failedFiles);
    QFETCH(bool, stop);
    QFETCH(QString, error);
    QFETCH(TaskPhase, phase);
    QFETCH(QString, title);
    QFETCH(QString, message);
    Fixture f;
    f.runner.counts.unchanged = 2;
    f.runner.counts.failed = failedFiles;
    f.runner.waitForRelease = true;
    if (!error.isEmpty()) f.runner.error = error.toStdString();
    auto model = f.model();
    f.pickInput(*model, f.photos());
    model->start();
    QTRY_VERIFY(f.runner.waiting());
    if (stop) {
      model->cancel();
      QVERIFY(model->stopping());
      QCOMPARE(model->message(), QString("正在停止新任务并保存已完成结果。"));
      QVERIFY(f.runner.lastToken()->isCancelled());
    }
    const int scansBefore = f.scanner.calls();
    f.runner.release();

    QTRY_VERIFY(!model->running());
    QCOMPARE(model->phase(), phase);
    QCOMPARE(model->statusTitle(), title);
    QCOMPARE(model->message(), message);
    QCOMPARE(model->summary().has_value(), error.isEmpty());
    QCOMPARE(model->stopping(), stop);  // cleared only by the next start
    settleScans();
    QCOMPARE(f.scanner.calls(), scansBefore + (error.isEmpty() ? 1 : 0));
  }

  void resultsOpenInTheRunDirectory() {
    Fixture f;
    auto model = f.model();
    model->openReport();
    model->openOutput();
    QVERIFY(f.opener->opened.empty());  // nothing to show before a run

    f.pickInput(*model, f.photos());
    model->start();
    QTRY_COMPARE(model->phase(), TaskPhase::completed);
    model->openReport();
    model->openOutput();
    model->openOutput("filtered");
    const fs::path batch = f.results() / "batch";
    QCOMPARE(f.opener->opened,
             (std::vector<fs::path>{batch / "report.html", batch, batch / "filtered"}));

    // A new input clears the finished run.
    f.pickInput(*model, f.root());
    QVERIFY(!model->summary());
    QCOMPARE(model->phase(), TaskPhase::idle);
    QCOMPARE(model->message(), QString("准备就绪。处理结果会保存到独立的新批次。"));
  }

  void configurationCarriesTheChoices() {
    Fixture f;
    auto model = f.model();
    f.pickInput(*model, f.photos());
    model->setTrim(0.10);
    model->setWorkers(1);
    model->setMinimumLongEdge(0);
    model->setMode(ProcessingMode::copy);
    model->setUseLimit(false);
    model->setPreviewCount(0);
    model->setEventName("城市半程");
    model->setEventDate(QDate(2026, 4, 5));
    model->start();
    QTRY_COMPARE(model->phase(), TaskPhase::completed);

    const BatchConfiguration config = *f.runner.lastConfiguration();
    QCOMPARE(config.input, f.photos());
    QCOMPARE(config.outputRoot, f.results());
    QCOMPARE(config.maximumTrim, 0.10);
    QCOMPARE(config.workers, 1);
    QCOMPARE(config.minimumLongEdge, 0);
    QCOMPARE(config.mode, ProcessingMode::copy);
    QVERIFY(!config.limit);
    QCOMPARE(config.previewCount, 0);
    QCOMPARE(config.eventName, std::optional<std::string>("城市半程"));
    QCOMPARE(config.eventDate, std::optional<std::string>("20260405"));
  }

  // The source identity of a hand-picked folder names its resolved path, so
  // a folder reached through a link numbers its batches with the real one.
  void handPickedFolderIdentity() {
    Fixture f;
    auto model = f.model();
    fs::create_directory_symlink(f.photos(), f.root() / "link");
    f.pickInput(*model, f.root() / "link" / ".");
    model->setUseLimit(false);
    model->start();
    QTRY_COMPARE(model->phase(), TaskPhase::completed);
    QCOMPARE(f.runner.lastConfiguration()->sourceIdentity,
             std::optional<std::string>("folder:" + fs::canonical(f.photos()).string()));
  }

  void handPickedFolder_data() {
    QTest::addColumn<QString>("folder");  // relative to the temporary folder
    QTest::addColumn<bool>("onCard");
    QTest::newRow("the card itself") << "CARD" << true;
    QTest::newRow("a folder on the card") << "CARD/DCIM/100CANON" << true;
    QTest::newRow("a sibling sharing the name's start") << "CARD2" << false;
    QTest::newRow("elsewhere") << "photos" << false;
  }
  void handPickedFolder() {
    QFETCH(QString, folder);
    QFETCH(bool, onCard);
    Fixture f;
    const CameraCard card = makeCard("volume:1234-ABCD", "EOS_DIGITAL", f.root() / "CARD");
    const CameraCard other = makeCard("volume:9999", "OTHER", f.root() / "OTHER");
    fs::create_directories(card.photoFolder / "100CANON");
    fs::create_directories(f.root() / "CARD2");
    f.scanner.setCards({other, card});
    auto model = f.model();

    f.pickInput(*model, f.root() / toPath(folder));
    QCOMPARE(model->input(), toText(f.root() / toPath(folder)));
    QCOMPARE(model->selectedCardID(), onCard ? std::optional(card.id) : std::nullopt);
    QCOMPARE(model->manuallySelected(), !onCard);
    QCOMPARE(model->cardStatus(), QString("已手动选择照片目录"));
    QCOMPARE(model->statusTitle(), QString("照片已就绪"));

    // The choice survives the next scans, with the card present or not.
    model->refreshCards();
    Fixture::waitForScan(*model);
    QCOMPARE(model->input(), toText(f.root() / toPath(folder)));
    QCOMPARE(model->cardStatus(), onCard ? QString("已选相机卡：EOS_DIGITAL")
                                         : QString("已检测到2张相机卡；保留手动选择"));
    if (!onCard) {
      f.scanner.setCards({});
      model->refreshCards();
      Fixture::waitForScan(*model);
      QCOMPARE(model->input(), toText(f.root() / toPath(folder)));
      QCOMPARE(model->cardStatus(), QString("当前使用手动选择的照片目录"));
    }
  }

  // With one card and nothing chosen, every scan selects it; when the
  // selected card goes, so does the input.
  void singleCardIsSelectedAfterEachScan() {
    Fixture f;
    const CameraCard card = makeCard("volume:1234-ABCD", "EOS_DIGITAL", f.root() / "CARD");
    auto model = f.model();
    QCOMPARE(model->cardStatus(), QString("未检测到相机卡，可手动选择照片"));
    QVERIFY(model->input().isEmpty());

    f.scanner.setCards({card});
    model->refreshCards();
    Fixture::waitForScan(*model);
    QCOMPARE(model->input(), toText(card.photoFolder));
    QCOMPARE(model->selectedCardID(), std::optional(card.id));
    QCOMPARE(model->cardStatus(), QString("已选相机卡：EOS_DIGITAL"));

    f.scanner.setCards({});
    model->refreshCards();
    Fixture::waitForScan(*model);
    QVERIFY(model->input().isEmpty());
    QVERIFY(!model->selectedCardID());
    QCOMPARE(model->cardStatus(), QString("未检测到相机卡，可手动选择照片"));
    QCOMPARE(model->statusTitle(), QString("等待选择照片"));

    f.scanner.setCards({card});
    model->refreshCards();
    Fixture::waitForScan(*model);
    QCOMPARE(model->input(), toText(card.photoFolder));
  }

  void severalCardsWaitForAChoice() {
    Fixture f;
    const CameraCard a = makeCard("volume:A", "A", f.root() / "A");
    const CameraCard b = makeCard("volume:B", "B", f.root() / "B");
    f.scanner.setCards({a, b});
    auto model = f.model();
    QVERIFY(model->input().isEmpty());
    QCOMPARE(model->cardStatus(), QString("检测到2张相机卡，请选择"));
    model->selectCard(b);
    QCOMPARE(model->input(), toText(b.photoFolder));
    QCOMPARE(model->cardStatus(), QString("已选相机卡：B"));
  }

  void launchFolderWaitsForTheCardScan() {
    Fixture f;
    const CameraCard card = makeCard("volume:1234-ABCD", "EOS_DIGITAL", f.root() / "CARD");
    f.scanner.setCards({card, makeCard("volume:B", "B", f.root() / "B")});
    f.scanner.hold();
    AppModel model(AppServices{f.chooser, f.opener, f.scanner.function(), f.runner.function(), {}},
                   f.settings);
    model.openAtLaunch(toText(card.photoFolder / "100CANON"));
    QVERIFY(model.input().isEmpty());
    f.scanner.answer(0, {card});
    Fixture::waitForScan(model);
    QCOMPARE(model.input(), toText(card.photoFolder / "100CANON"));
    QCOMPARE(model.selectedCardID(), std::optional(card.id));
  }

  void staleScansAreDropped() {
    Fixture f;
    const CameraCard a = makeCard("volume:A", "A", f.root() / "A");
    const CameraCard b = makeCard("volume:B", "B", f.root() / "B");
    f.scanner.hold();
    AppModel model(AppServices{f.chooser, f.opener, f.scanner.function(), f.runner.function(), {}},
                   f.settings);
    QTRY_COMPARE(f.scanner.calls(), 1);  // scans are numbered in the order they begin
    model.refreshCards();                // call 1 supersedes call 0
    QTRY_COMPARE(f.scanner.calls(), 2);
    f.scanner.answer(1, {a});
    QTRY_VERIFY(!model.detectingCards());
    QCOMPARE(model.cards(), std::vector<CameraCard>{a});

    f.scanner.answer(0, {a, b});
    settleScans();
    QCOMPARE(model.cards(), std::vector<CameraCard>{a});
    QCOMPARE(model.cardStatus(), QString("已选相机卡：A"));
  }

  // Pulling the card being read stops the run; what was done is kept.
  void vanishedCardStopsTheRun() {
    Fixture f;
    const CameraCard card = makeCard("volume:1234-ABCD", "EOS_DIGITAL", f.root() / "CARD");
    fs::create_directories(card.photoFolder);
    f.scanner.setCards({card});
    f.runner.snapshots = {snapshot(1, 5, "a.jpg")};
    f.runner.waitForRelease = true;
    f.runner.counts.unchanged = 1;
    auto model = f.model();
    QCOMPARE(model->selectedCardID(), std::optional(card.id));
    model->start();
    QTRY_VERIFY(f.runner.waiting());
    QCOMPARE(f.runner.lastConfiguration()->sourceIdentity, std::optional(card.id));

    f.scanner.setCards({});
    model->refreshCards();
    Fixture::waitForScan(*model);
    QCOMPARE(model->cardStatus(), QString("原片卡已断开，正在停止新任务并保留已完成结果。"));
    QVERIFY(model->stopping());
    QVERIFY(model->running());
    QVERIFY(f.runner.lastToken()->isCancelled());
    const std::size_t requests = f.chooser->requests.size();
    model->chooseInput();  // inputs are locked while the run ends
    QCOMPARE(f.chooser->requests.size(), requests);

    f.runner.release();
    QTRY_COMPARE(model->phase(), TaskPhase::cancelled);
    QVERIFY(model->summary()->cancelled);
    QCOMPARE(model->summary()->processed, 1);
    QCOMPARE(model->message(), QString("已完成照片与报告保留，可打开结果查看。"));
  }

  void preferencesRoundTrip() {
    Fixture f;
    {
      auto model = f.model();
      QCOMPARE(model->eventDate(), QDate::currentDate());
      QCOMPARE(model->namingDescription(), QString("留空则沿用默认批次名称。"));
      model->setEventName("  大湾区/女子马拉松.");
      model->setEventDate(QDate(2026, 4, 5));
      QCOMPARE(model->eventDateString(), QString("20260405"));
      QCOMPARE(model->namingDescription(),
               QString("输出：大湾区-女子马拉松-20260405-卡号；换卡递增，同卡重跑另存。"));
    }
    auto again = f.model();
    QCOMPARE(again->eventName(), QString("  大湾区/女子马拉松."));
    QCOMPARE(again->eventDate(), QDate(2026, 4, 5));

    f.settings.setValue("eventDate", "not a date");
    auto fresh = f.model();
    QCOMPARE(fresh->eventDate(), QDate::currentDate());
  }

  void summaryTimingLine_data() {
    QTest::addColumn<qint64>("processed");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("line");
    QTest::newRow("zero seconds") << qint64(3) << 0.0
                                  << "处理 0.00 秒  ·  3000000.0 张/秒  ·  预览 1.50 秒";
    QTest::newRow("usual") << qint64(14) << 7.0 << "处理 7.00 秒  ·  2.0 张/秒  ·  预览 1.50 秒";
    QTest::newRow("nothing") << qint64(0) << 0.0 << "处理 0.00 秒  ·  0.0 张/秒  ·  预览 1.50 秒";
  }
  void summaryTimingLine() {
    QFETCH(qint64, processed);
    QFETCH(double, seconds);
    QFETCH(QString, line);
    RunSummary summary(BatchConfiguration("in", "out"));
    summary.processed = processed;
    summary.processingSeconds = seconds;
    summary.reportSeconds = 1.5;
    QCOMPARE(kestrel::summaryTimingLine(summary), line);
  }
};

QTEST_GUILESS_MAIN(AppModelTest)
#include "app_model_test.moc"
