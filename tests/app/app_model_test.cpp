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
  std::unique_ptr<AppModel> current;

  Fixture() { fs::create_directories(root() / "photos"); }
  // A held run is let go first: the model waits for its run when destroyed,
  // so a test that fails half-way does not hang.
  ~Fixture() {
    runner.release();
    scanner.releaseAll();
    current.reset();
  }
  fs::path root() const { return toPath(dir.path()); }
  fs::path photos() const { return root() / "photos"; }
  fs::path results() const { return root() / "results"; }

  // A new model (replacing the last one) with its output root in the
  // temporary folder; `settled`: once its first card scan has been applied.
  AppModel& model(bool settled = true) {
    current = std::make_unique<AppModel>(
        AppServices{chooser, opener, scanner.function(), runner.function(), std::nullopt},
        settings);
    current->useOutputFolder(toText(results()));
    if (settled) waitForScan();
    return *current;
  }

  // Picks the folder by hand through the chooser.
  void pickInput(const fs::path& folder) {
    chooser->answers.push_back(folder);
    current->chooseInput();
  }
  void rescan(std::vector<CameraCard> cards) {
    scanner.setCards(std::move(cards));
    current->refreshCards();
    waitForScan();
  }
  void waitForScan() { QTRY_VERIFY(!current->detectingCards()); }
};

// Waits for every task of the card scan pool and delivers what they posted.
void settleScans() {
  QThreadPool::globalInstance()->waitForDone();
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

BatchProgress snapshot(std::int64_t completed, std::int64_t total, std::string file) {
  return {completed, total, {}, 0, std::move(file)};
}

}  // namespace

class AppModelTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QThreadPool::globalInstance()->setMaxThreadCount(8); }

  // Titles the runs below do not reach; without a summary no success is claimed.
  void statusTitleByPhase() {
    QCOMPARE(statusTitle(TaskPhase::preparing, true, true, {}), QString("正在准备照片"));
    QCOMPARE(statusTitle(TaskPhase::processing, false, true, {}), QString("正在处理照片"));
    QCOMPARE(statusTitle(TaskPhase::processing, true, true, {}), QString("正在停止"));
    QCOMPARE(statusTitle(TaskPhase::reporting, false, true, {}), QString("正在生成对比报告"));
    QCOMPARE(statusTitle(TaskPhase::completed, false, true, {}),
             QString("处理完成，部分照片未成功"));
  }

  void startRefused_data() {
    QTest::addColumn<int>("limit");       // -1: no limit
    QTest::addColumn<QString>("output");  // relative to the temporary folder
    QTest::addColumn<QString>("eventName");
    QTest::addColumn<QString>("message");
    // clang-format off
    QTest::newRow("trial limit 0") << 0 << "results" << ""
        << "照片数量至少为1张。若要处理全部，请取消勾选「先处理前」。";
    QTest::newRow("output inside the input") << -1 << "photos/results" << ""
        << "输出必须与输入互相独立，不能相同、位于输入内或是输入的上级目录。";
    QTest::newRow("event name without a usable character") << 10 << "results" << " /// "
        << "赛事/分类名称为空或过长，请简化名称。";
    // clang-format on
  }
  void startRefused() {
    QFETCH(int, limit);
    QFETCH(QString, output);
    QFETCH(QString, eventName);
    QFETCH(QString, message);
    Fixture f;
    AppModel& model = f.model();
    f.pickInput(f.photos());
    f.chooser->answers.push_back(f.root() / toPath(output));
    model.chooseOutput();
    model.setUseLimit(limit >= 0);
    model.setLimit(limit);
    model.setEventName(eventName);

    model.start();
    QCOMPARE(model.phase(), TaskPhase::failed);
    QVERIFY(!model.running());
    QCOMPARE(model.message(), message);
    QVERIFY(!fs::exists(f.root() / toPath(output)));
  }

  void endOfRun_data() {
    QTest::addColumn<int>("failedFiles");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("error");
    QTest::addColumn<TaskPhase>("phase");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    // clang-format off
    QTest::newRow("completed") << 0 << false << "" << TaskPhase::completed << "处理完成"
        << "可以查看构图效果，再将可交付照片交给上传工具。";
    QTest::newRow("completed with failed files") << 1 << false << "" << TaskPhase::completed
        << "处理完成，部分照片未成功" << "请在报告中查看未成功文件的原因。";
    QTest::newRow("cancelled") << 1 << true << "" << TaskPhase::cancelled
        << "已停止，完成的结果已保留" << "已完成照片与报告保留，可打开结果查看。";
    QTest::newRow("failed") << 0 << false << "输出磁盘空间不足" << TaskPhase::failed
        << "本次处理未完成" << "输出磁盘空间不足";
    // clang-format on
  }
  // A run from start to end. Snapshots from parallel workers may arrive out
  // of order: an older one must not move the progress back; the last one
  // announces the report.
  void endOfRun() {
    QFETCH(int, failedFiles);
    QFETCH(bool, stop);
    QFETCH(QString, error);
    QFETCH(TaskPhase, phase);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QStringList messages;
    Fixture f;
    f.runner.snapshots = {snapshot(2, 3, "b.jpg"), snapshot(1, 3, "a.jpg"),
                          snapshot(3, 3, "c.jpg")};
    f.runner.counts.unchanged = 2;
    f.runner.counts.failed = failedFiles;
    f.runner.waitForRelease = true;
    if (!error.isEmpty()) f.runner.error = error.toStdString();
    AppModel& model = f.model();
    f.pickInput(f.photos());
    connect(&model, &AppModel::messageChanged, &model, [&] { messages << model.message(); });
    model.start();
    model.start();  // ignored while running
    QTRY_VERIFY(f.runner.waiting());
    QCoreApplication::processEvents();
    QCOMPARE(model.phase(), TaskPhase::reporting);
    QCOMPARE(model.progress()->completed, 3);
    QStringList expected = {"正在读取文件列表并准备识别。", "b.jpg",
                            "照片已写出，正在整理预览与报告。"};
    if (stop) {
      model.cancel();
      QCOMPARE(model.statusTitle(), QString("正在保存已完成结果"));
      QVERIFY(f.runner.lastToken()->isCancelled());
      expected << "正在停止新任务并保存已完成结果。";
    }
    const int scansBefore = f.scanner.calls();
    f.runner.release();

    QTRY_VERIFY(!model.running());
    QCOMPARE(f.runner.runs(), 1);
    QCOMPARE(model.phase(), phase);
    QCOMPARE(model.statusTitle(), title);
    QCOMPARE(messages, expected << message);
    QCOMPARE(model.summary().has_value(), error.isEmpty());
    QCOMPARE(model.stopping(), stop);  // cleared only by the next start
    // A finished run looks for cards again.
    settleScans();
    QCOMPARE(f.scanner.calls(), scansBefore + (error.isEmpty() ? 1 : 0));
  }

  void resultsOpenInTheRunDirectory() {
    Fixture f;
    AppModel& model = f.model();
    model.start();  // nothing chosen: nothing runs
    model.openReport();
    model.openOutput();
    QCOMPARE(model.phase(), TaskPhase::idle);
    QVERIFY(f.opener->opened.empty());  // nothing to show before a run

    f.pickInput(f.photos());
    model.start();
    QTRY_COMPARE(model.phase(), TaskPhase::completed);
    model.openReport();
    model.openOutput();
    model.openOutput("filtered");
    const fs::path batch = f.results() / "batch";
    QCOMPARE(f.opener->opened,
             (std::vector<fs::path>{batch / "report.html", batch, batch / "filtered"}));

    // A new input clears the finished run.
    f.pickInput(f.root());
    QVERIFY(!model.summary());
    QCOMPARE(model.phase(), TaskPhase::idle);
    QCOMPARE(model.message(), QString("准备就绪。处理结果会保存到独立的新批次。"));
  }

  // Every choice reaches the run; a folder picked through a link is
  // identified by its resolved path, so its batches number with the real one.
  void configurationCarriesTheChoices() {
    Fixture f;
    AppModel& model = f.model();
    fs::create_directory_symlink(f.photos(), f.root() / "link");
    f.pickInput(f.root() / "link" / ".");
    model.setTrim(0.10);
    model.setWorkers(1);
    model.setMinimumLongEdge(0);
    model.setMode(ProcessingMode::copy);
    model.setUseLimit(false);
    model.setPreviewCount(0);
    model.setEventName("城市半程");
    model.setEventDate(QDate(2026, 4, 5));
    model.start();
    QTRY_COMPARE(model.phase(), TaskPhase::completed);

    const BatchConfiguration config = *f.runner.lastConfiguration();
    QCOMPARE(config.input, f.root() / "link" / ".");
    QCOMPARE(config.maximumTrim, 0.10);
    QCOMPARE(config.workers, 1);
    QCOMPARE(config.minimumLongEdge, 0);
    QCOMPARE(config.mode, ProcessingMode::copy);
    QVERIFY(!config.limit);
    QCOMPARE(config.previewCount, 0);
    QCOMPARE(config.eventName, std::optional<std::string>("城市半程"));
    QCOMPARE(config.eventDate, std::optional<std::string>("20260405"));
    QCOMPARE(config.sourceIdentity,
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
    AppModel& model = f.model();
    const QString picked = toText(f.root() / toPath(folder));

    f.pickInput(toPath(picked));
    QCOMPARE(model.selectedCardID(), onCard ? std::optional(card.id) : std::nullopt);
    QCOMPARE(model.manuallySelected(), !onCard);
    QCOMPARE(model.cardStatus(), QString("已手动选择照片目录"));
    QCOMPARE(model.statusTitle(), QString("照片已就绪"));

    // The choice survives the next scans, with the card present or not.
    f.rescan({other, card});
    QCOMPARE(model.input(), picked);
    QCOMPARE(model.cardStatus(), onCard ? QString("已选相机卡：EOS_DIGITAL")
                                        : QString("已检测到2张相机卡；保留手动选择"));
    if (!onCard) {
      f.rescan({});
      QCOMPARE(model.input(), picked);
      QCOMPARE(model.cardStatus(), QString("当前使用手动选择的照片目录"));
    }
  }

  // Several cards wait for a choice; a single one is selected by the scan
  // that finds it; when the selected card goes, so does the input.
  void scansSelectCards() {
    Fixture f;
    const CameraCard a = makeCard("volume:A", "A", f.root() / "A");
    const CameraCard b = makeCard("volume:B", "B", f.root() / "B");
    AppModel& model = f.model();
    QCOMPARE(model.cardStatus(), QString("未检测到相机卡，可手动选择照片"));

    f.rescan({a, b});
    QVERIFY(model.input().isEmpty());
    QCOMPARE(model.cardStatus(), QString("检测到2张相机卡，请选择"));
    model.selectCard(b);
    QCOMPARE(model.input(), toText(b.photoFolder));
    QCOMPARE(model.cardStatus(), QString("已选相机卡：B"));

    f.rescan({a});
    QCOMPARE(model.input(), toText(a.photoFolder));
    QCOMPARE(model.cardStatus(), QString("已选相机卡：A"));

    f.rescan({});
    QVERIFY(model.input().isEmpty());
    QCOMPARE(model.cardStatus(), QString("未检测到相机卡，可手动选择照片"));
    QCOMPARE(model.statusTitle(), QString("等待选择照片"));

    f.rescan({b});
    QCOMPARE(model.input(), toText(b.photoFolder));
  }

  void launchFolderWaitsForTheCardScan() {
    Fixture f;
    const CameraCard card = makeCard("volume:1234-ABCD", "EOS_DIGITAL", f.root() / "CARD");
    f.scanner.hold();
    AppModel& model = f.model(false);
    model.openAtLaunch(toText(card.photoFolder / "100CANON"));
    QVERIFY(model.input().isEmpty());
    f.scanner.answer(0, {card});
    f.waitForScan();
    QCOMPARE(model.input(), toText(card.photoFolder / "100CANON"));
    QCOMPARE(model.selectedCardID(), std::optional(card.id));
  }

  void staleScansAreDropped() {
    Fixture f;
    const CameraCard a = makeCard("volume:A", "A", f.root() / "A");
    f.scanner.hold();
    AppModel& model = f.model(false);
    QTRY_COMPARE(f.scanner.calls(), 1);  // scans are numbered in the order they begin
    model.refreshCards();                // call 1 supersedes call 0
    QTRY_COMPARE(f.scanner.calls(), 2);
    f.scanner.answer(1, {a});
    f.waitForScan();
    f.scanner.answer(0, {});
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
    AppModel& model = f.model();
    model.start();
    QTRY_VERIFY(f.runner.waiting());
    QCOMPARE(f.runner.lastConfiguration()->sourceIdentity, std::optional(card.id));

    f.rescan({});
    QCOMPARE(model.cardStatus(), QString("原片卡已断开，正在停止新任务并保留已完成结果。"));
    QVERIFY(model.stopping());
    QVERIFY(f.runner.lastToken()->isCancelled());
    const std::size_t requests = f.chooser->requests.size();
    model.chooseInput();  // inputs are locked while the run ends
    QCOMPARE(f.chooser->requests.size(), requests);

    f.runner.release();
    QTRY_COMPARE(model.phase(), TaskPhase::cancelled);
    QVERIFY(model.summary());
    QCOMPARE(model.message(), QString("已完成照片与报告保留，可打开结果查看。"));
  }

  // The event name and date outlive the model; an unreadable date is today.
  void preferencesRoundTrip() {
    Fixture f;
    AppModel& model = f.model();
    QCOMPARE(model.namingDescription(), QString("留空则沿用默认批次名称。"));
    model.setEventName("  大湾区/女子马拉松.");
    model.setEventDate(QDate(2026, 4, 5));
    QCOMPARE(model.namingDescription(),
             QString("输出：大湾区-女子马拉松-20260405-卡号；换卡递增，同卡重跑另存。"));

    QCOMPARE(f.model().eventName(), QString("  大湾区/女子马拉松."));
    QCOMPARE(f.current->eventDate(), QDate(2026, 4, 5));

    f.settings.setValue("eventDate", "not a date");
    QCOMPARE(f.model().eventDate(), QDate::currentDate());
  }

  // The rate of a run that took no measurable time stays finite.
  void summaryTimingLine() {
    RunSummary summary(BatchConfiguration("in", "out"));
    summary.processed = 3;
    summary.reportSeconds = 1.5;
    QCOMPARE(kestrel::summaryTimingLine(summary),
             QString("处理 0.00 秒  ·  3000000.0 张/秒  ·  预览 1.50 秒"));
  }
};

QTEST_GUILESS_MAIN(AppModelTest)
#include "app_model_test.moc"
