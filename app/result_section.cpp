// SPDX-License-Identifier: MIT
#include "app/result_section.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/brand_images.h"

namespace kestrel {

namespace {

constexpr std::array<const char*, 6> kMetricNames = {"已处理", "已裁剪", "保留原构图",
                                                     "已过滤", "待复核", "失败"};

std::array<std::int64_t, 6> metricValues(const RunSummary& s) {
  return {s.processed,       s.counts.cropped, s.counts.unchanged,
          s.counts.filtered, s.counts.review,  s.counts.failed};
}

QPushButton* resultButton(const QString& text) {
  auto* button = new QPushButton(text);
  button->setAccessibleName(text);
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

}  // namespace

ResultSection::ResultSection(AppModel& model, QWidget* parent)
    : BrandCard(parent),
      model_(model),
      phaseSymbol_(new QLabel),
      title_(roleLabel({}, "status")),
      message_(roleLabel({}, "secondary")) {
  auto* heading = new QHBoxLayout;
  heading->setSpacing(10);
  heading->addWidget(phaseSymbol_);
  title_->setObjectName(QStringLiteral("StatusTitle"));
  heading->addWidget(title_, 1);
  content()->addLayout(heading);
  message_->setObjectName(QStringLiteral("StatusMessage"));
  message_->setAccessibleName(QStringLiteral("状态说明"));
  content()->addWidget(message_);
  content()->addWidget(progressBlock());
  content()->addWidget(summaryBlock());

  connect(&model_, &AppModel::statusTitleChanged, this, &ResultSection::showStatus);
  connect(&model_, &AppModel::phaseChanged, this, &ResultSection::showStatus);
  connect(&model_, &AppModel::messageChanged, this, &ResultSection::showStatus);
  connect(&model_, &AppModel::progressChanged, this, &ResultSection::showProgress);
  connect(&model_, &AppModel::runningChanged, this, &ResultSection::showProgress);
  connect(&model_, &AppModel::summaryChanged, this, &ResultSection::showSummary);
  showStatus();
  showProgress();
  showSummary();
}

QWidget* ResultSection::progressBlock() {
  progress_ = new QWidget;
  auto* layout = new QVBoxLayout(progress_);
  layout->setContentsMargins(0, 4, 0, 0);
  layout->setSpacing(6);
  bar_ = new QProgressBar;
  bar_->setAccessibleName(QStringLiteral("处理进度"));
  bar_->setTextVisible(false);
  bar_->setFixedHeight(12);
  layout->addWidget(bar_);
  auto* lines = new QHBoxLayout;
  countLine_ = roleLabel({}, "mono");
  countLine_->setWordWrap(false);
  countLine_->setAccessibleName(QStringLiteral("已处理张数"));
  statusLine_ = roleLabel({}, "secondary");
  statusLine_->setWordWrap(false);
  statusLine_->setAccessibleName(QStringLiteral("处理分类"));
  lines->addWidget(countLine_);
  lines->addStretch();
  lines->addWidget(statusLine_);
  layout->addLayout(lines);
  return progress_;
}

QWidget* ResultSection::summaryBlock() {
  summary_ = new QWidget;
  auto* layout = new QVBoxLayout(summary_);
  layout->setContentsMargins(0, 6, 0, 0);
  layout->setSpacing(12);

  auto* tiles = new QGridLayout;
  tiles->setSpacing(10);
  for (std::size_t i = 0; i < kMetricNames.size(); ++i) {
    const QString name = QString::fromUtf8(kMetricNames[i]);
    auto* tile = new QFrame;
    tile->setObjectName(QStringLiteral("MetricTile"));
    auto* tileLayout = new QVBoxLayout(tile);
    tileLayout->setContentsMargins(14, 10, 14, 10);
    tileLayout->setSpacing(2);
    metrics_[i] = roleLabel({}, "metricValue");
    metrics_[i]->setObjectName(QStringLiteral("MetricValue"));
    metrics_[i]->setWordWrap(false);
    metrics_[i]->setAccessibleName(name);
    tileLayout->addWidget(metrics_[i]);
    tileLayout->addWidget(roleLabel(name, "secondary"));
    tiles->addWidget(tile, 0, static_cast<int>(i));
  }
  layout->addLayout(tiles);

  timing_ = roleLabel({}, "mono");
  timing_->setAccessibleName(QStringLiteral("处理耗时"));
  layout->addWidget(timing_);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(8);
  auto* report = resultButton(QStringLiteral("查看构图报告"));
  report->setProperty("primary", true);
  auto* folder = resultButton(QStringLiteral("打开结果文件夹"));
  filtered_ = resultButton(QStringLiteral("查看过滤照片"));
  review_ = resultButton(QStringLiteral("查看待复核"));
  connect(report, &QPushButton::clicked, &model_, &AppModel::openReport);
  connect(folder, &QPushButton::clicked, &model_, [this] { model_.openOutput(); });
  connect(filtered_, &QPushButton::clicked, &model_,
          [this] { model_.openOutput(QStringLiteral("filtered")); });
  connect(review_, &QPushButton::clicked, &model_,
          [this] { model_.openOutput(QStringLiteral("review")); });
  for (QPushButton* button : {report, folder, filtered_, review_}) buttons->addWidget(button);
  buttons->addStretch();
  layout->addLayout(buttons);
  return summary_;
}

void ResultSection::showStatus() {
  title_->setText(model_.statusTitle());
  title_->setAccessibleName(model_.statusTitle());
  message_->setText(model_.message());
  message_->setVisible(!model_.message().isEmpty());

  struct Look {
    const char* symbol;
    QColor color;
  };
  const auto look = [this]() -> Look {
    switch (model_.phase()) {
      case TaskPhase::idle:
        return {"photo", theme_.secondary};
      case TaskPhase::preparing:
        return {"hourglass", theme_.interactive};
      case TaskPhase::processing:
        return {"crop", theme_.interactive};
      case TaskPhase::reporting:
        return {"document", theme_.interactive};
      case TaskPhase::completed: {
        const bool clean = model_.summary() && model_.summary()->counts.failed == 0;
        return {clean ? "check" : "alert", clean ? theme_.success : theme_.warning};
      }
      case TaskPhase::cancelled:
        return {"stop", theme_.warning};
      case TaskPhase::failed:
        return {"alert", theme_.error};
    }
    return {"photo", theme_.secondary};
  }();
  phaseSymbol_->setPixmap(
      symbol(QString::fromLatin1(look.symbol), look.color, 26, devicePixelRatioF()));
}

void ResultSection::showProgress() {
  const auto& snapshot = model_.progress();
  progress_->setVisible(model_.running());
  countLine_->setVisible(snapshot.has_value());
  statusLine_->setVisible(snapshot.has_value());
  if (!snapshot) {
    bar_->setRange(0, 0);  // busy until the first photo is done
    return;
  }
  bar_->setRange(0, static_cast<int>(std::max<std::int64_t>(snapshot->total, 1)));
  bar_->setValue(static_cast<int>(snapshot->completed));
  countLine_->setText(progressCountLine(*snapshot));
  statusLine_->setText(progressStatusLine(*snapshot));
}

void ResultSection::showSummary() {
  const auto& summary = model_.summary();
  summary_->setVisible(summary.has_value());
  if (!summary) return;
  const auto values = metricValues(*summary);
  for (std::size_t i = 0; i < values.size(); ++i) {
    metrics_[i]->setText(QString::number(values[i]));
  }
  timing_->setText(summaryTimingLine(*summary));
  filtered_->setVisible(summary->counts.filtered >= 1);
  review_->setVisible(summary->counts.review >= 1);
}

void ResultSection::applyTheme(const BrandTheme& theme) {
  theme_ = theme;
  showStatus();
}

}  // namespace kestrel
