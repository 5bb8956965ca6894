// SPDX-License-Identifier: MIT
#include "app/options_sections.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>
#include <limits>

#include "app/app_model.h"
#include "app/choice_box.h"
#include "core/run/parameters.h"

namespace kestrel {

namespace {

QComboBox* comboBox(const QString& accessibleName) {
  auto* box = new QComboBox;
  box->setAccessibleName(accessibleName);
  box->setMinimumWidth(260);
  box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return box;
}

QString workersLabel(int workers) {
  QString label = QString::number(workers) + QStringLiteral(" 路");
  if (workers == 1) label += QStringLiteral(" · 逐张处理");
  if (workers == 4) label += QStringLiteral(" · 适合同时上传");
  if (workers == 8) label += QStringLiteral(" · 速度优先");
  return label;
}

QString longEdgeLabel(qint64 pixels) {
  return pixels == 0 ? QStringLiteral("仅限制1800万像素")
                     : QString::number(pixels) + QStringLiteral(" 像素");
}

QString previewLabel(qint64 count) {
  if (count == 0) return QStringLiteral("不生成预览图");
  QString label = QString::number(count) + QStringLiteral(" 张");
  if (count == *parameters::previewCount.defaultValue) label += QStringLiteral(" · 默认");
  return label;
}

QString modeLabel(ProcessingMode mode) {
  switch (mode) {
    case ProcessingMode::automatic:
      return QStringLiteral("自动构图与清晰度筛选");
    case ProcessingMode::copy:
      return QStringLiteral("原样复制 · 测速基准");
    case ProcessingMode::fixed:
      return QStringLiteral("固定裁剪 · 引擎基准");
  }
  return {};
}

}  // namespace

void lockWhileRunning(AppModel& model, std::initializer_list<QWidget*> controls) {
  for (QWidget* control : controls) {
    control->setEnabled(!model.running());
    QObject::connect(&model, &AppModel::runningChanged, control,
                     [&model, control] { control->setEnabled(!model.running()); });
  }
}

RunSection::RunSection(AppModel& model, QWidget* parent)
    : BrandCard(parent),
      model_(model),
      wholeFolder_(new QPushButton(QStringLiteral("整个文件夹"))),
      trialBatch_(new QPushButton(QStringLiteral("小批量检查"))),
      limitRow_(new QWidget),
      limit_(new QSpinBox) {
  content()->addWidget(sectionHeading(QStringLiteral("本次处理"), {}));

  auto* choice = new QHBoxLayout;
  choice->setSpacing(0);
  auto* group = new QButtonGroup(this);
  for (QPushButton* segment : {wholeFolder_, trialBatch_}) {
    segment->setCheckable(true);
    segment->setAccessibleName(segment->text());
    segment->setCursor(Qt::PointingHandCursor);
    group->addButton(segment);
    choice->addWidget(segment);
  }
  wholeFolder_->setProperty("segment", "first");
  trialBatch_->setProperty("segment", "last");
  choice->addSpacing(18);

  auto* limitLayout = new QHBoxLayout(limitRow_);
  limitLayout->setContentsMargins(0, 0, 0, 0);
  limitLayout->setSpacing(8);
  limitLayout->addWidget(roleLabel(QStringLiteral("先处理前"), "secondary"));
  limit_->setRange(0, std::numeric_limits<int>::max());
  limit_->setAccessibleName(QStringLiteral("照片数量"));
  limit_->setToolTip(QStringLiteral("小批量照片数量"));
  limit_->setAccessibleDescription(QStringLiteral("小批量照片数量"));
  limit_->setMinimumWidth(110);
  limit_->setButtonSymbols(QAbstractSpinBox::NoButtons);
  limitLayout->addWidget(limit_);
  choice->addWidget(limitRow_);
  choice->addStretch();
  content()->addLayout(choice);
  content()->addWidget(roleLabel(
      QStringLiteral("取消勾选即可处理全部照片。首次使用建议先检查小批量效果。"), "note"));

  connect(wholeFolder_, &QPushButton::clicked, &model_, [this] { model_.setUseLimit(false); });
  connect(trialBatch_, &QPushButton::clicked, &model_, [this] { model_.setUseLimit(true); });
  connect(limit_, &QSpinBox::valueChanged, &model_, [this](int value) { model_.setLimit(value); });
  connect(&model_, &AppModel::useLimitChanged, this, &RunSection::show);
  connect(&model_, &AppModel::limitChanged, this, &RunSection::show);
  lockWhileRunning(model_, {wholeFolder_, trialBatch_, limit_});
  show();
}

void RunSection::show() {
  wholeFolder_->setChecked(!model_.useLimit());
  trialBatch_->setChecked(model_.useLimit());
  limitRow_->setVisible(model_.useLimit());
  const int limit =
      static_cast<int>(std::min<qint64>(model_.limit(), std::numeric_limits<int>::max()));
  if (limit_->value() != limit) limit_->setValue(limit);
}

AdvancedSection::AdvancedSection(AppModel& model, QWidget* parent)
    : BrandCard(parent), model_(model), disclosure_(new QToolButton), settings_(new QWidget) {
  disclosure_->setObjectName(QStringLiteral("Disclosure"));
  disclosure_->setText(QStringLiteral("高级设置"));
  disclosure_->setAccessibleName(QStringLiteral("高级设置"));
  disclosure_->setCheckable(true);
  disclosure_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  disclosure_->setCursor(Qt::PointingHandCursor);
  content()->addWidget(disclosure_);
  content()->addWidget(settings_);

  auto* grid = new QGridLayout(settings_);
  grid->setContentsMargins(0, 4, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(8);
  int row = 0;
  const auto addRow = [&](const QString& label, QComboBox* box) {
    auto* text = roleLabel(label, "heading");
    text->setWordWrap(false);
    text->setMinimumWidth(96);
    grid->addWidget(text, row, 0);
    grid->addWidget(box, row, 1, Qt::AlignLeft);
    ++row;
  };

  auto* workers = comboBox(QStringLiteral("处理并发"));
  std::vector<Choice<int>> workerChoices;
  for (const int n : {1, 2, 4, 6, 8}) workerChoices.push_back({n, workersLabel(n)});
  bindChoices<int>(
      workers, workerChoices, &model_, [this] { return model_.workers(); },
      [this](int n) { model_.setWorkers(n); }, &AppModel::workersChanged, workersLabel);
  addRow(QStringLiteral("处理并发"), workers);
  grid->addWidget(
      roleLabel(
          QStringLiteral("并发影响处理速度和资源占用，降低并发不会提高单张裁剪质量。与上传软件"
                         "同时运行时，可选4路。预览另计耗时。"),
          "note"),
      row++, 1);

  auto* longEdge = comboBox(QStringLiteral("最低长边"));
  const qint64 defaultEdge = *parameters::minimumLongEdge.defaultValue;
  bindChoices<qint64>(
      longEdge, {{defaultEdge, longEdgeLabel(defaultEdge)}, {0, longEdgeLabel(0)}}, &model_,
      [this] { return model_.minimumLongEdge(); },
      [this](qint64 n) { model_.setMinimumLongEdge(n); }, &AppModel::minimumLongEdgeChanged,
      longEdgeLabel);
  addRow(QStringLiteral("最低长边"), longEdge);

  auto* previews = comboBox(QStringLiteral("对比预览"));
  const qint64 defaultPreviews = *parameters::previewCount.defaultValue;
  bindChoices<qint64>(
      previews,
      {{defaultPreviews, previewLabel(defaultPreviews)},
       {48, previewLabel(48)},
       {0, previewLabel(0)}},
      &model_, [this] { return model_.previewCount(); },
      [this](qint64 n) { model_.setPreviewCount(n); }, &AppModel::previewCountChanged,
      previewLabel);
  addRow(QStringLiteral("对比预览"), previews);

  auto* mode = comboBox(QStringLiteral("处理模式"));
  std::vector<Choice<ProcessingMode>> modeChoices;
  for (const ProcessingMode m : allProcessingModes) modeChoices.push_back({m, modeLabel(m)});
  bindChoices<ProcessingMode>(
      mode, modeChoices, &model_, [this] { return model_.mode(); },
      [this](ProcessingMode m) { model_.setMode(m); }, &AppModel::modeChanged, modeLabel);
  addRow(QStringLiteral("处理模式"), mode);

  // Race numbers: read them (auto mode), and optionally write them into
  // the delivered photos as keywords.
  auto* readBibs = new QCheckBox(QStringLiteral("识别号码布"));
  readBibs->setAccessibleName(QStringLiteral("识别号码布"));
  auto* bibKeywords = new QCheckBox(QStringLiteral("把号码写入交付照片的关键词（bib:951）"));
  bibKeywords->setAccessibleName(QStringLiteral("把号码写入交付照片的关键词"));
  auto* bibText = roleLabel(QStringLiteral("号码布"), "heading");
  bibText->setWordWrap(false);
  grid->addWidget(bibText, row, 0);
  grid->addWidget(readBibs, row++, 1, Qt::AlignLeft);
  grid->addWidget(bibKeywords, row++, 1, Qt::AlignLeft);
  grid->addWidget(
      roleLabel(
          QStringLiteral("仅自动模式识别；报告可按号码布查找，另存 bibs.csv。只报告有把握的号码，"
                         "看不清的宁可不报。关闭识别可加快处理。"),
          "note"),
      row++, 1);
  const auto showBibs = [this, readBibs, bibKeywords] {
    readBibs->setChecked(model_.readBibs());
    bibKeywords->setChecked(model_.writeBibKeywords());
    bibKeywords->setEnabled(model_.readBibs() && !model_.running());
  };
  connect(readBibs, &QCheckBox::toggled, &model_, [this](bool on) { model_.setReadBibs(on); });
  connect(bibKeywords, &QCheckBox::toggled, &model_,
          [this](bool on) { model_.setWriteBibKeywords(on); });
  connect(&model_, &AppModel::readBibsChanged, this, showBibs);
  connect(&model_, &AppModel::writeBibKeywordsChanged, this, showBibs);
  connect(&model_, &AppModel::runningChanged, this, showBibs);
  showBibs();
  grid->setColumnStretch(1, 1);

  connect(disclosure_, &QToolButton::toggled, &model_, &AppModel::setAdvanced);
  connect(&model_, &AppModel::advancedChanged, this, &AdvancedSection::show);
  lockWhileRunning(model_, {workers, longEdge, previews, mode, readBibs});
  show();
}

void AdvancedSection::show() {
  disclosure_->setChecked(model_.advanced());
  disclosure_->setArrowType(model_.advanced() ? Qt::DownArrow : Qt::RightArrow);
  settings_->setVisible(model_.advanced());
}

}  // namespace kestrel
