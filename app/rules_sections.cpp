// SPDX-License-Identifier: MIT
#include "app/rules_sections.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/app_model.h"
#include "app/brand_images.h"
#include "app/choice_box.h"
#include "app/options_sections.h"
#include "core/run/parameters.h"

namespace kestrel {

namespace {

QString trimLabel(double trim) { return QString::number(std::lround(trim * 100)) + "%"; }

QString deliveryFloor() {
  constexpr std::int64_t kTenThousand = 10'000;
  return QString::number(*parameters::minimumPixelCount.defaultValue / kTenThousand) +
         QStringLiteral(" 万像素");
}

bool screensQuality(ProcessingMode mode) { return mode == ProcessingMode::automatic; }

}  // namespace

QString modeDescription(ProcessingMode mode) {
  switch (mode) {
    case ProcessingMode::automatic:
      return QStringLiteral("主体略软时进一步限裁；原构图合适就保留。优先留出人物边界和手脚空间。");
    case ProcessingMode::fixed:
      return QStringLiteral("按上限固定裁剪，不识别人物或检查清晰度。仅用于引擎测速。");
    case ProcessingMode::copy:
      return QStringLiteral("仅复制原片，不裁剪，也不按1800万像素筛选。用于比较文件读写速度。");
  }
  return {};
}

RulesSection::RulesSection(AppModel& model, QWidget* parent)
    : BrandCard(parent),
      model_(model),
      modeLine_(roleLabel({}, "secondary")),
      warningRow_(new QWidget),
      warningSymbol_(new QLabel),
      backToAuto_(new QPushButton(QStringLiteral("切回自动处理"))) {
  content()->addWidget(sectionHeading(QStringLiteral("自动处理规则"), {}, &shield_));

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(8);
  auto* trimTitle = roleLabel(QStringLiteral("裁剪上限"), "heading");
  trimTitle->setWordWrap(false);
  trimTitle->setMinimumWidth(96);
  grid->addWidget(trimTitle, 0, 0);
  auto* trim = new QComboBox;
  trim->setAccessibleName(QStringLiteral("裁剪上限"));
  trim->setMinimumWidth(110);
  std::vector<Choice<double>> trims;
  for (const double t : {0.04, 0.10, 0.12, parameters::maximumTrim.maximum}) {
    trims.push_back({t, trimLabel(t)});
  }
  bindChoices<double>(
      trim, trims, &model_, [this] { return model_.trim(); },
      [this](double t) { model_.setTrim(t); }, &AppModel::trimChanged, trimLabel);
  grid->addWidget(trim, 0, 1);
  grid->addWidget(roleLabel(QStringLiteral("长边缩短上限 · 按构图自动决定"), "secondary"), 0, 2);

  auto* floorTitle = roleLabel(QStringLiteral("交付像素底线 · 保持原比例"), "heading");
  floorTitle->setWordWrap(false);
  grid->addWidget(floorTitle, 1, 0, 1, 2);
  auto* floorValue = roleLabel(deliveryFloor(), "mono");
  floorValue->setAccessibleName(QStringLiteral("交付像素底线 · 保持原比例"));
  grid->addWidget(floorValue, 1, 2);
  grid->setColumnStretch(2, 1);
  content()->addLayout(grid);

  modeLine_->setAccessibleName(QStringLiteral("处理模式说明"));
  content()->addWidget(modeLine_);

  auto* warning = new QHBoxLayout(warningRow_);
  warning->setContentsMargins(0, 0, 0, 0);
  warning->setSpacing(8);
  warning->addWidget(warningSymbol_);
  auto* warningText = roleLabel(QStringLiteral("当前未启用画质筛选"), "warning");
  warningText->setWordWrap(false);
  warningText->setAccessibleName(QStringLiteral("当前未启用画质筛选"));
  warning->addWidget(warningText);
  backToAuto_->setAccessibleName(QStringLiteral("切回自动处理"));
  backToAuto_->setCursor(Qt::PointingHandCursor);
  warning->addWidget(backToAuto_);
  warning->addStretch();
  content()->addWidget(warningRow_);
  connect(backToAuto_, &QPushButton::clicked, &model_,
          [this] { model_.setMode(ProcessingMode::automatic); });

  connect(&model_, &AppModel::modeChanged, this, &RulesSection::show);
  lockWhileRunning(model_, {trim, backToAuto_});
  show();
}

void RulesSection::show() {
  modeLine_->setText(modeDescription(model_.mode()));
  warningRow_->setVisible(!screensQuality(model_.mode()));
}

void RulesSection::applyTheme(const BrandTheme& theme) {
  shield_->setPixmap(symbol(QStringLiteral("shield"), theme.success, 22, devicePixelRatioF()));
  warningSymbol_->setPixmap(
      symbol(QStringLiteral("alert"), theme.warning, 18, devicePixelRatioF()));
}

DestinationsSection::DestinationsSection(AppModel& model, QWidget* parent)
    : BrandCard(parent),
      model_(model),
      benchmarkNote_(roleLabel(QStringLiteral("基准模式不代表通过画质筛选。"), "warning")) {
  content()->addWidget(sectionHeading(QStringLiteral("结果分开保存"), {}));
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(18);
  grid->setVerticalSpacing(6);
  const std::pair<const char*, const char*> folders[] = {
      {"photos", "可交付照片"}, {"filtered", "明显模糊或像素不足"}, {"review", "需要人工复核"}};
  int row = 0;
  for (const auto& [folder, meaning] : folders) {
    auto* name = roleLabel(QString::fromLatin1(folder), "folder");
    name->setWordWrap(false);
    grid->addWidget(name, row, 0);
    grid->addWidget(roleLabel(QString::fromUtf8(meaning), "secondary"), row, 1);
    ++row;
  }
  grid->setColumnStretch(1, 1);
  content()->addLayout(grid);
  content()->addWidget(roleLabel(QStringLiteral("过滤只单独存放副本，不删除原片。"), "note"));
  content()->addWidget(benchmarkNote_);
  const auto show = [this] { benchmarkNote_->setVisible(!screensQuality(model_.mode())); };
  connect(&model_, &AppModel::modeChanged, this, show);
  show();
}

}  // namespace kestrel
