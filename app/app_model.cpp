// SPDX-License-Identifier: MIT
#include "app/app_model.h"

#include <QFile>
#include <QFutureWatcher>
#include <QSettings>
#include <QSocketNotifier>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>
#include <exception>
#include <utility>

#include "core/run/event_label.h"
#include "core/run/output_root.h"
#include "core/run/parameters.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

const QString kEventNameKey = QStringLiteral("eventName");
const QString kEventDateKey = QStringLiteral("eventDate");
const QString kReadBibsKey = QStringLiteral("readBibs");
const QString kWriteBibKeywordsKey = QStringLiteral("writeBibKeywords");

fs::path toPath(const QString& text) { return fs::path(QFile::encodeName(text).toStdString()); }
QString toText(const fs::path& path) { return QFile::decodeName(path.c_str()); }

// True when `folder` is `volume` or lies below it.
bool liesOn(const fs::path& folder, const fs::path& volume) {
  const std::string path = canonicalURL(folder).string();
  const std::string root = canonicalURL(volume).string();
  return path == root || path.starts_with(root == "/" ? root : root + "/");
}

QDate persistedDate(const QVariant& value) {
  QDate date = value.toDate();
  if (!date.isValid()) date = QDate::fromString(value.toString(), Qt::ISODate);
  return date.isValid() ? date : QDate::currentDate();
}

// Assigns and tells whether anything changed, so each setter emits its
// signal only for a real change.
template <typename T>
bool assign(T& field, T value) {
  if (field == value) return false;
  field = std::move(value);
  return true;
}

}  // namespace

AppModel::AppModel(AppServices services, QSettings& settings, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      settings_(settings),
      output_(toText(defaultOutputRoot())),
      trim_(*parameters::maximumTrim.defaultValue),
      workers_(defaultWorkerCount()),
      minimumLongEdge_(*parameters::minimumLongEdge.defaultValue),
      message_(QStringLiteral("选择照片文件夹，开始处理下一张卡。")),
      previewCount_(*parameters::previewCount.defaultValue),
      readBibs_(settings.value(kReadBibsKey, parameters::readBibs.defaultValue).toBool()),
      writeBibKeywords_(
          settings.value(kWriteBibKeywordsKey, parameters::writeBibKeywords.defaultValue).toBool()),
      eventName_(settings.value(kEventNameKey).toString()),
      eventDate_(persistedDate(settings.value(kEventDateKey))),
      cardStatus_(QStringLiteral("正在检测相机卡…")),
      cancellation_(makeCancellationToken()) {
  runPool_.setMaxThreadCount(1);
  shownStatusTitle_ = statusTitle();
  shownNamingDescription_ = namingDescription();
  if (services_.mountTable) watchMounts(*services_.mountTable);
  refreshCards();
}

AppModel::~AppModel() {
  if (running_) cancellation_->cancel();
  runPool_.waitForDone();
}

void AppModel::watchMounts(const fs::path& mountTable) {
  try {
    mountWatcher_ = std::make_unique<MountWatcher>(mountTable);
  } catch (const std::exception&) {
    return;  // no mount table to watch: cards are found by "重新检测相机卡" only
  }
  mountNotifier_ = new QSocketNotifier(mountWatcher_->fd(), QSocketNotifier::Exception, this);
  connect(mountNotifier_, &QSocketNotifier::activated, this, [this] {
    mountWatcher_->acknowledge();
    refreshCards();
  });
}

// --- Derived values -------------------------------------------------------

int AppModel::trimPercent() const { return static_cast<int>(std::lround(trim_ * 100)); }

QString AppModel::eventDateString() const {
  // Digits only, so the result does not depend on the locale's calendar names.
  return eventDate_.toString(QStringLiteral("yyyyMMdd"));
}

QString AppModel::namingDescription() const {
  const QString cleaned =
      QString::fromStdString(BatchDirectory::cleanLabel(eventName_.toStdString()));
  if (cleaned.isEmpty()) return QStringLiteral("留空则沿用默认批次名称。");
  return QStringLiteral("输出：") + cleaned + QStringLiteral("-") + eventDateString() +
         QStringLiteral("-卡号；换卡递增，同卡重跑另存。");
}

QString AppModel::statusTitle() const {
  return kestrel::statusTitle(phase_, stopping_, !input_.isEmpty(), summary_);
}

void AppModel::updateStatusTitle() {
  if (assign(shownStatusTitle_, statusTitle())) emit statusTitleChanged();
}

void AppModel::updateNamingDescription() {
  if (assign(shownNamingDescription_, namingDescription())) emit namingDescriptionChanged();
}

// --- Options --------------------------------------------------------------

void AppModel::setModelPaths(std::optional<fs::path> model, std::optional<fs::path> faceModel) {
  model_ = std::move(model);
  faceModel_ = std::move(faceModel);
}

void AppModel::setTrim(double value) {
  if (assign(trim_, value)) emit trimChanged();
}
void AppModel::setWorkers(int value) {
  if (assign(workers_, value)) emit workersChanged();
}
void AppModel::setMinimumLongEdge(qint64 value) {
  if (assign(minimumLongEdge_, value)) emit minimumLongEdgeChanged();
}
void AppModel::setMode(ProcessingMode value) {
  if (assign(mode_, value)) emit modeChanged();
}
void AppModel::setLimit(qint64 value) {
  if (assign(limit_, value)) emit limitChanged();
}
void AppModel::setUseLimit(bool value) {
  if (assign(useLimit_, value)) emit useLimitChanged();
}
void AppModel::setPreviewCount(qint64 value) {
  if (assign(previewCount_, value)) emit previewCountChanged();
}
void AppModel::setReadBibs(bool value) {
  if (!assign(readBibs_, value)) return;
  settings_.setValue(kReadBibsKey, readBibs_);
  emit readBibsChanged();
}
void AppModel::setWriteBibKeywords(bool value) {
  if (!assign(writeBibKeywords_, value)) return;
  settings_.setValue(kWriteBibKeywordsKey, writeBibKeywords_);
  emit writeBibKeywordsChanged();
}
void AppModel::setAdvanced(bool value) {
  if (assign(advanced_, value)) emit advancedChanged();
}
void AppModel::setAppearance(AppAppearance value) {
  if (assign(appearance_, value)) emit appearanceChanged();
}

void AppModel::setEventName(const QString& value) {
  if (!assign(eventName_, value)) return;
  settings_.setValue(kEventNameKey, eventName_);
  emit eventNameChanged();
  updateNamingDescription();
}

void AppModel::setEventDate(const QDate& value) {
  if (!value.isValid() || !assign(eventDate_, value)) return;
  settings_.setValue(kEventDateKey, eventDate_);
  emit eventDateChanged();
  updateNamingDescription();
}

// --- Run state ------------------------------------------------------------

void AppModel::setInput(const QString& value) {
  if (!assign(input_, value)) return;
  emit inputChanged();
  updateStatusTitle();
}
void AppModel::setOutput(const QString& value) {
  if (assign(output_, value)) emit outputChanged();
}
void AppModel::setRunning(bool value) {
  if (assign(running_, value)) emit runningChanged();
}
void AppModel::setProgress(std::optional<BatchProgress> value) {
  if (assign(progress_, std::move(value))) emit progressChanged();
}
void AppModel::setSummary(std::optional<RunSummary> value) {
  if (!assign(summary_, std::move(value))) return;
  emit summaryChanged();
  updateStatusTitle();
}
void AppModel::setPhase(TaskPhase value) {
  if (!assign(phase_, value)) return;
  emit phaseChanged();
  updateStatusTitle();
}
void AppModel::setMessage(const QString& value) {
  if (assign(message_, value)) emit messageChanged();
}
void AppModel::setStopping(bool value) {
  if (!assign(stopping_, value)) return;
  emit stoppingChanged();
  updateStatusTitle();
}
void AppModel::setCards(std::vector<CameraCard> value) {
  if (assign(cards_, std::move(value))) emit cardsChanged();
}
void AppModel::setCardStatus(const QString& value) {
  if (assign(cardStatus_, value)) emit cardStatusChanged();
}
void AppModel::setDetectingCards(bool value) {
  if (assign(detectingCards_, value)) emit detectingCardsChanged();
}

void AppModel::resetStatus() {
  setSummary(std::nullopt);
  setProgress(std::nullopt);
  setPhase(TaskPhase::idle);
  setMessage(input_.isEmpty() ? QStringLiteral("选择照片文件夹，开始处理下一张卡。")
                              : QStringLiteral("准备就绪。处理结果会保存到独立的新批次。"));
}

// --- Cards ----------------------------------------------------------------

void AppModel::refreshCards() {
  const std::uint64_t generation = ++scanGeneration_;
  setDetectingCards(true);
  // The watcher is the model's child: a result that arrives after the model
  // is gone is never delivered.
  auto* watcher = new QFutureWatcher<std::vector<CameraCard>>(this);
  connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
    applyScan(generation, watcher->result());
    watcher->deleteLater();
  });
  watcher->setFuture(QtConcurrent::run([scan = services_.scanCards] { return scan(); }));
}

const CameraCard* AppModel::cardWithID(const std::string& id) const {
  for (const CameraCard& card : cards_) {
    if (card.id == id) return &card;
  }
  return nullptr;
}

void AppModel::applyScan(std::uint64_t generation, std::vector<CameraCard> found) {
  if (generation != scanGeneration_) return;  // a newer scan is on its way
  setDetectingCards(false);
  setCards(std::move(found));
  const auto n = static_cast<qsizetype>(cards_.size());
  const auto countRule = [this, n] {
    setCardStatus(n > 0 ? QStringLiteral("检测到%1张相机卡，请选择").arg(n)
                        : QStringLiteral("未检测到相机卡，可手动选择照片"));
  };

  if (running_) {
    if (selectedCardID_ && !cardWithID(*selectedCardID_)) {
      // The card being read is gone: keep what is done, claim nothing more.
      cancel();
      setCardStatus(QStringLiteral("原片卡已断开，正在停止新任务并保留已完成结果。"));
    }
  } else if (manuallySelected_ && !input_.isEmpty()) {
    setCardStatus(n > 0 ? QStringLiteral("已检测到%1张相机卡；保留手动选择").arg(n)
                        : QStringLiteral("当前使用手动选择的照片目录"));
  } else if (selectedCardID_) {
    if (const CameraCard* card = cardWithID(*selectedCardID_)) {
      setCardStatus(QStringLiteral("已选相机卡：") + QString::fromStdString(card->name));
    } else if (n == 1) {
      selectCard(cards_.front());
    } else {
      selectedCardID_.reset();
      setInput({});
      if (!summary_) resetStatus();
      countRule();
    }
  } else if (n == 1) {
    selectCard(cards_.front());
  } else {
    countRule();
  }

  if (launchFolder_ && !running_) {
    const QString folder = *std::exchange(launchFolder_, std::nullopt);
    useInputFolder(toPath(folder));
  }
}

void AppModel::selectCard(const CameraCard& card) {
  if (running_) return;
  selectedCardID_ = card.id;
  manuallySelected_ = false;
  setInput(toText(card.photoFolder));
  resetStatus();
  setCardStatus(QStringLiteral("已选相机卡：") + QString::fromStdString(card.name));
}

// --- Folders --------------------------------------------------------------

void AppModel::chooseInput() {
  if (running_ || !services_.folders) return;
  const auto folder = services_.folders->chooseFolder(
      {QStringLiteral("选择照片"), QStringLiteral("选择含 JPG/JPEG 的照片文件夹，原片只读。"),
       false});
  if (folder) useInputFolder(*folder);
}

void AppModel::openAtLaunch(const QString& folder) {
  if (detectingCards_) {
    launchFolder_ = folder;
  } else {
    useInputFolder(toPath(folder));
  }
}

void AppModel::useInputFolder(const fs::path& folder) {
  if (running_) return;
  selectedCardID_.reset();
  for (const CameraCard& card : cards_) {
    if (liesOn(folder, card.volume)) {
      selectedCardID_ = card.id;
      break;
    }
  }
  manuallySelected_ = !selectedCardID_;
  setInput(toText(folder));
  setCardStatus(QStringLiteral("已手动选择照片目录"));
  resetStatus();
}

void AppModel::chooseOutput() {
  if (running_ || !services_.folders) return;
  const auto folder = services_.folders->chooseFolder(
      {QStringLiteral("保存到这里"),
       QStringLiteral("每次自动新建批次文件夹，请选择原片以外的位置。"), true});
  if (folder) useOutputFolder(toText(*folder));
}

void AppModel::useOutputFolder(const QString& folder) {
  if (running_) return;
  setOutput(folder);
  resetStatus();
}

void AppModel::openOutput(const QString& subfolder) {
  if (!summary_ || !services_.opener) return;
  fs::path folder = summary_->runDirectory;
  if (!subfolder.isEmpty()) folder /= toPath(subfolder);
  services_.opener->open(folder);
}

void AppModel::openReport() {
  if (!summary_ || !services_.opener) return;
  services_.opener->open(summary_->runDirectory / "report.html");
}

// --- Run ------------------------------------------------------------------

BatchConfiguration AppModel::configuration() const {
  const fs::path folder = toPath(input_);
  BatchConfiguration config(folder, toPath(output_));
  config.model = model_;
  config.faceModel = faceModel_;
  config.maximumTrim = trim_;
  config.workers = workers_;
  config.minimumLongEdge = minimumLongEdge_;
  config.mode = mode_;
  if (useLimit_) config.limit = limit_;
  config.previewCount = previewCount_;
  config.readBibs = readBibs_;
  config.writeBibKeywords = writeBibKeywords_;
  config.eventName = eventName_.toStdString();
  config.eventDate = eventDateString().toStdString();
  config.sourceIdentity =
      selectedCardID_ ? *selectedCardID_ : "folder:" + canonicalURL(folder).string();
  return config;
}

void AppModel::start() {
  if (input_.isEmpty() || running_) return;
  const BatchConfiguration config = configuration();
  setSummary(std::nullopt);
  setProgress(std::nullopt);
  setStopping(false);

  if (useLimit_ && limit_ < 1) {
    setPhase(TaskPhase::failed);
    setMessage(QStringLiteral("照片数量至少为1张。若要处理全部，请取消勾选「先处理前」。"));
    return;
  }
  try {
    config.validate();
  } catch (const std::exception& error) {
    setPhase(TaskPhase::failed);
    setMessage(QString::fromUtf8(error.what()));
    return;
  }

  cancellation_ = makeCancellationToken();
  setRunning(true);
  setPhase(TaskPhase::preparing);
  setMessage(QStringLiteral("正在读取文件列表并准备识别。"));

  const std::uint64_t run = ++runNumber_;
  // The task reports through queued calls only; the destructor waits for it,
  // so `this` outlives every call it posts.
  runPool_.start([this, run, config, token = cancellation_, runner = services_.runBatch] {
    try {
      const RunSummary result = runner(config, token, [this, run](const BatchProgress& snapshot) {
        QMetaObject::invokeMethod(
            this, [this, run, snapshot] { applyProgress(run, snapshot); }, Qt::QueuedConnection);
      });
      QMetaObject::invokeMethod(
          this, [this, run, result] { finishRun(run, result); }, Qt::QueuedConnection);
    } catch (const std::exception& error) {
      const QString text = QString::fromUtf8(error.what());
      QMetaObject::invokeMethod(
          this, [this, run, text] { failRun(run, text); }, Qt::QueuedConnection);
    }
  });
}

void AppModel::cancel() {
  if (!running_ || stopping_) return;
  setStopping(true);
  cancellation_->cancel();
  setMessage(QStringLiteral("正在停止新任务并保存已完成结果。"));
}

void AppModel::applyProgress(std::uint64_t run, const BatchProgress& snapshot) {
  if (run != runNumber_ || !running_) return;
  // Workers finish in any order; a snapshot behind the one shown is stale.
  if (progress_ && snapshot.completed < progress_->completed) return;
  setProgress(snapshot);
  if (snapshot.completed != snapshot.total) {
    setPhase(TaskPhase::processing);
    setMessage(QString::fromStdString(snapshot.lastFile));
  } else {
    setPhase(TaskPhase::reporting);
    setMessage(QStringLiteral("照片已写出，正在整理预览与报告。"));
  }
}

void AppModel::finishRun(std::uint64_t run, const RunSummary& result) {
  if (run != runNumber_) return;
  setSummary(result);
  setRunning(false);
  setMessage(finishedMessage(result));
  setPhase(result.cancelled ? TaskPhase::cancelled : TaskPhase::completed);
  refreshCards();
}

void AppModel::failRun(std::uint64_t run, const QString& error) {
  if (run != runNumber_) return;
  setRunning(false);
  setMessage(error);
  setPhase(TaskPhase::failed);
}

}  // namespace kestrel
