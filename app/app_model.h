// SPDX-License-Identifier: MIT
// AppModel: the one state object of the desktop application. It holds the
// operator's choices, the camera cards found, the state of the current run
// and the last summary; the window shows its properties and calls its
// operations. Every property has a change signal. The model lives on the
// GUI thread: card scans and the batch run go to background threads and
// their results come back as queued calls before any field is touched.
#pragma once

#include <QDate>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "app/appearance.h"
#include "app/status_texts.h"
#include "core/cards/camera_cards.h"
#include "core/cards/mount_watcher.h"
#include "core/run/batch_configuration.h"
#include "core/run/cancellation_token.h"
#include "core/run/run_summary.h"

class QSettings;
class QSocketNotifier;

namespace kestrel {

class AppModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString input READ input NOTIFY inputChanged)
  Q_PROPERTY(QString output READ output NOTIFY outputChanged)
  Q_PROPERTY(double trim READ trim WRITE setTrim NOTIFY trimChanged)
  Q_PROPERTY(int workers READ workers WRITE setWorkers NOTIFY workersChanged)
  Q_PROPERTY(qint64 minimumLongEdge READ minimumLongEdge WRITE setMinimumLongEdge NOTIFY
                 minimumLongEdgeChanged)
  Q_PROPERTY(kestrel::ProcessingMode mode READ mode WRITE setMode NOTIFY modeChanged)
  Q_PROPERTY(bool running READ running NOTIFY runningChanged)
  Q_PROPERTY(std::optional<kestrel::BatchProgress> progress READ progress NOTIFY progressChanged)
  Q_PROPERTY(std::optional<kestrel::RunSummary> summary READ summary NOTIFY summaryChanged)
  Q_PROPERTY(kestrel::TaskPhase phase READ phase NOTIFY phaseChanged)
  Q_PROPERTY(QString message READ message NOTIFY messageChanged)
  Q_PROPERTY(qint64 limit READ limit WRITE setLimit NOTIFY limitChanged)
  Q_PROPERTY(bool useLimit READ useLimit WRITE setUseLimit NOTIFY useLimitChanged)
  Q_PROPERTY(qint64 previewCount READ previewCount WRITE setPreviewCount NOTIFY previewCountChanged)
  Q_PROPERTY(bool readBibs READ readBibs WRITE setReadBibs NOTIFY readBibsChanged)
  Q_PROPERTY(bool writeBibKeywords READ writeBibKeywords WRITE setWriteBibKeywords NOTIFY
                 writeBibKeywordsChanged)
  Q_PROPERTY(bool stopping READ stopping NOTIFY stoppingChanged)
  Q_PROPERTY(bool advanced READ advanced WRITE setAdvanced NOTIFY advancedChanged)
  Q_PROPERTY(kestrel::AppAppearance appearance READ appearance WRITE setAppearance NOTIFY
                 appearanceChanged)
  Q_PROPERTY(QString eventName READ eventName WRITE setEventName NOTIFY eventNameChanged)
  Q_PROPERTY(QDate eventDate READ eventDate WRITE setEventDate NOTIFY eventDateChanged)
  Q_PROPERTY(std::vector<kestrel::CameraCard> cards READ cards NOTIFY cardsChanged)
  Q_PROPERTY(QString cardStatus READ cardStatus NOTIFY cardStatusChanged)
  Q_PROPERTY(bool detectingCards READ detectingCards NOTIFY detectingCardsChanged)
  Q_PROPERTY(int trimPercent READ trimPercent NOTIFY trimChanged)
  Q_PROPERTY(QString eventDateString READ eventDateString NOTIFY eventDateChanged)
  Q_PROPERTY(QString namingDescription READ namingDescription NOTIFY namingDescriptionChanged)
  Q_PROPERTY(QString statusTitle READ statusTitle NOTIFY statusTitleChanged)

 public:
  // `settings` holds the persisted event name and date and must outlive
  // the model. Starts watching the mount table and the first card scan.
  AppModel(AppServices services, QSettings& settings, QObject* parent = nullptr);
  // Asks a running batch to stop and waits for it: the files in hand are
  // finished and the reports written before the model goes away.
  ~AppModel() override;

  QString input() const { return input_; }  // empty: no folder chosen
  QString output() const { return output_; }
  double trim() const { return trim_; }
  int workers() const { return workers_; }
  qint64 minimumLongEdge() const { return minimumLongEdge_; }
  ProcessingMode mode() const { return mode_; }
  bool running() const { return running_; }
  const std::optional<BatchProgress>& progress() const { return progress_; }
  const std::optional<RunSummary>& summary() const { return summary_; }
  TaskPhase phase() const { return phase_; }
  QString message() const { return message_; }
  qint64 limit() const { return limit_; }
  bool useLimit() const { return useLimit_; }
  qint64 previewCount() const { return previewCount_; }
  bool readBibs() const { return readBibs_; }
  bool writeBibKeywords() const { return writeBibKeywords_; }
  bool stopping() const { return stopping_; }
  bool advanced() const { return advanced_; }
  AppAppearance appearance() const { return appearance_; }
  QString eventName() const { return eventName_; }
  QDate eventDate() const { return eventDate_; }
  const std::vector<CameraCard>& cards() const { return cards_; }
  QString cardStatus() const { return cardStatus_; }
  bool detectingCards() const { return detectingCards_; }

  int trimPercent() const;
  QString eventDateString() const;
  QString namingDescription() const;
  QString statusTitle() const;

  // Not observable: which card the input belongs to, and whether the input
  // was picked by hand outside every known card.
  const std::optional<std::string>& selectedCardID() const { return selectedCardID_; }
  bool manuallySelected() const { return manuallySelected_; }

  // Person and face models given explicitly (KESTREL_MODEL, KESTREL_FACE_MODEL);
  // none means the usual search.
  void setModelPaths(std::optional<std::filesystem::path> model,
                     std::optional<std::filesystem::path> faceModel);

  void setTrim(double value);
  void setWorkers(int value);
  void setMinimumLongEdge(qint64 value);
  void setMode(ProcessingMode value);
  void setLimit(qint64 value);
  void setUseLimit(bool value);
  void setPreviewCount(qint64 value);
  // The two bib switches are remembered across sessions.
  void setReadBibs(bool value);
  void setWriteBibKeywords(bool value);
  void setAdvanced(bool value);
  void setAppearance(AppAppearance value);
  void setEventName(const QString& value);
  void setEventDate(const QDate& value);

 public slots:
  void refreshCards();
  void selectCard(const kestrel::CameraCard& card);
  void chooseInput();
  void chooseOutput();
  // The folder given when the application was launched, taken as if it had
  // been picked by hand once the card scan in flight has finished, so that
  // a folder on a card selects that card.
  void openAtLaunch(const QString& folder);
  // What chooseOutput does once the operator has confirmed a folder.
  void useOutputFolder(const QString& folder);
  void start();
  void cancel();
  void openOutput(const QString& subfolder = {});
  void openReport();
  void resetStatus();

 signals:
  void inputChanged();
  void outputChanged();
  void trimChanged();
  void workersChanged();
  void minimumLongEdgeChanged();
  void modeChanged();
  void runningChanged();
  void progressChanged();
  void summaryChanged();
  void phaseChanged();
  void messageChanged();
  void limitChanged();
  void useLimitChanged();
  void previewCountChanged();
  void readBibsChanged();
  void writeBibKeywordsChanged();
  void stoppingChanged();
  void advancedChanged();
  void appearanceChanged();
  void eventNameChanged();
  void eventDateChanged();
  void cardsChanged();
  void cardStatusChanged();
  void detectingCardsChanged();
  void namingDescriptionChanged();
  void statusTitleChanged();

 private:
  void watchMounts(const std::filesystem::path& mountTable);
  void applyScan(std::uint64_t generation, std::vector<CameraCard> found);
  void useInputFolder(const std::filesystem::path& folder);
  void applyProgress(std::uint64_t run, const BatchProgress& snapshot);
  void finishRun(std::uint64_t run, const RunSummary& result);
  void failRun(std::uint64_t run, const QString& error);
  BatchConfiguration configuration() const;
  const CameraCard* cardWithID(const std::string& id) const;

  void setInput(const QString& value);
  void setOutput(const QString& value);
  void setRunning(bool value);
  void setProgress(std::optional<BatchProgress> value);
  void setSummary(std::optional<RunSummary> value);
  void setPhase(TaskPhase value);
  void setMessage(const QString& value);
  void setStopping(bool value);
  void setCards(std::vector<CameraCard> value);
  void setCardStatus(const QString& value);
  void setDetectingCards(bool value);
  void updateStatusTitle();
  void updateNamingDescription();

  AppServices services_;
  QSettings& settings_;

  QString input_;
  QString output_;
  double trim_;
  int workers_;
  qint64 minimumLongEdge_;
  ProcessingMode mode_ = ProcessingMode::automatic;
  bool running_ = false;
  std::optional<BatchProgress> progress_;
  std::optional<RunSummary> summary_;
  TaskPhase phase_ = TaskPhase::idle;
  QString message_;
  qint64 limit_ = 50;
  bool useLimit_ = true;
  qint64 previewCount_;
  bool readBibs_;
  bool writeBibKeywords_;
  bool stopping_ = false;
  bool advanced_ = false;
  AppAppearance appearance_ = AppAppearance::system;
  QString eventName_;
  QDate eventDate_;
  std::vector<CameraCard> cards_;
  QString cardStatus_;
  bool detectingCards_ = false;
  std::optional<std::string> selectedCardID_;
  bool manuallySelected_ = false;
  std::uint64_t scanGeneration_ = 0;
  std::shared_ptr<CancellationToken> cancellation_;

  QString shownStatusTitle_;
  QString shownNamingDescription_;
  std::optional<QString> launchFolder_;
  std::optional<std::filesystem::path> model_;
  std::optional<std::filesystem::path> faceModel_;
  std::uint64_t runNumber_ = 0;
  std::unique_ptr<MountWatcher> mountWatcher_;
  QSocketNotifier* mountNotifier_ = nullptr;
  // One batch at a time; declared last so it is destroyed (and waited for)
  // before the fields its task reports into.
  QThreadPool runPool_;
};

}  // namespace kestrel

Q_DECLARE_METATYPE(kestrel::ProcessingMode)
Q_DECLARE_METATYPE(kestrel::TaskPhase)
Q_DECLARE_METATYPE(kestrel::AppAppearance)
Q_DECLARE_METATYPE(kestrel::CameraCard)
