// SPDX-License-Identifier: MIT
#include "app/photos_section.h"

#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/brand_images.h"

namespace kestrel {

namespace {

QLabel* rowLabel(const QString& text) {
  auto* label = roleLabel(text, "heading");
  label->setWordWrap(false);
  label->setMinimumWidth(96);
  return label;
}

QPushButton* button(const QString& text, const QString& accessibleName) {
  auto* b = new QPushButton(text);
  b->setAccessibleName(accessibleName);
  b->setCursor(Qt::PointingHandCursor);
  return b;
}

}  // namespace

PhotosSection::PhotosSection(AppModel& model, QWidget* parent) : BrandCard(parent), model_(model) {
  content()->addWidget(
      sectionHeading(QStringLiteral("照片与输出"), QStringLiteral("一张卡，一个独立批次")));
  content()->addWidget(inputRow());
  content()->addWidget(cardRow());
  content()->addWidget(outputRow());
  content()->addWidget(namingRows());

  connect(&model_, &AppModel::inputChanged, this, &PhotosSection::showInput);
  connect(&model_, &AppModel::cardsChanged, this, &PhotosSection::showCards);
  connect(&model_, &AppModel::inputChanged, this, &PhotosSection::showCards);
  connect(&model_, &AppModel::cardStatusChanged, this, &PhotosSection::showCards);
  connect(&model_, &AppModel::runningChanged, this, &PhotosSection::showRunning);
  showInput();
  showCards();
  showRunning();
}

QWidget* PhotosSection::inputRow() {
  auto* row = new QWidget;
  auto* grid = new QGridLayout(row);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->addWidget(rowLabel(QStringLiteral("选择原片")), 0, 0);
  inputPath_ = roleLabel({}, "path");
  inputPath_->setAccessibleName(QStringLiteral("选择原片"));
  grid->addWidget(inputPath_, 0, 1);
  chooseInput_ = button(QStringLiteral("选择…"), QStringLiteral("选择原片"));
  chooseInput_->setToolTip(QStringLiteral("选择 SD 卡或电脑中的照片文件夹"));
  chooseInput_->setAccessibleDescription(QStringLiteral("选择 SD 卡或电脑中的照片文件夹"));
  connect(chooseInput_, &QPushButton::clicked, &model_, &AppModel::chooseInput);
  grid->addWidget(chooseInput_, 0, 2);
  grid->addWidget(roleLabel(QStringLiteral("选择 SD 卡或电脑中的照片文件夹"), "note"), 1, 1);
  grid->setColumnStretch(1, 1);
  return row;
}

QWidget* PhotosSection::cardRow() {
  auto* block = new QWidget;
  auto* grid = new QGridLayout(block);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(6);
  grid->addWidget(rowLabel(QStringLiteral("选择相机卡")), 0, 0);

  cardButtons_ = new QWidget;
  cardButtonRow_ = new QHBoxLayout(cardButtons_);
  cardButtonRow_->setContentsMargins(0, 0, 0, 0);
  cardButtonRow_->setSpacing(8);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(8);
  buttons->addWidget(cardButtons_);
  refresh_ = button(QStringLiteral("重新检测相机卡"), QStringLiteral("重新检测相机卡"));
  connect(refresh_, &QPushButton::clicked, &model_, &AppModel::refreshCards);
  buttons->addWidget(refresh_);
  buttons->addStretch();
  grid->addLayout(buttons, 0, 1);

  cardStatus_ = roleLabel({}, "secondary");
  cardStatus_->setAccessibleName(QStringLiteral("相机卡状态"));
  grid->addWidget(cardStatus_, 1, 1);
  grid->setColumnStretch(1, 1);
  return block;
}

QWidget* PhotosSection::outputRow() {
  auto* row = new QWidget;
  auto* grid = new QGridLayout(row);
  grid->setContentsMargins(0, 4, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->addWidget(rowLabel(QStringLiteral("保存结果")), 0, 0);
  outputPath_ = roleLabel({}, "path");
  outputPath_->setAccessibleName(QStringLiteral("保存结果"));
  grid->addWidget(outputPath_, 0, 1);
  changeOutput_ = button(QStringLiteral("更改"), QStringLiteral("更改"));
  changeOutput_->setToolTip(QStringLiteral("更改输出位置"));
  changeOutput_->setAccessibleDescription(QStringLiteral("更改输出位置"));
  connect(changeOutput_, &QPushButton::clicked, &model_, &AppModel::chooseOutput);
  grid->addWidget(changeOutput_, 0, 2);
  grid->setColumnStretch(1, 1);
  connect(&model_, &AppModel::outputChanged, outputPath_,
          [this] { outputPath_->setText(model_.output()); });
  outputPath_->setText(model_.output());
  return row;
}

QWidget* PhotosSection::namingRows() {
  auto* block = new QWidget;
  auto* grid = new QGridLayout(block);
  grid->setContentsMargins(0, 6, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(6);

  const QString nameLabel = QStringLiteral("赛事 / 分类（选填，如：大湾区女子马拉松）");
  grid->addWidget(roleLabel(nameLabel, "secondary"), 0, 0);
  eventName_ = new QLineEdit(model_.eventName());
  eventName_->setPlaceholderText(QStringLiteral("赛事或分类名称"));
  eventName_->setAccessibleName(nameLabel);
  eventName_->setClearButtonEnabled(true);
  connect(eventName_, &QLineEdit::textEdited, &model_, &AppModel::setEventName);
  connect(&model_, &AppModel::eventNameChanged, eventName_, [this] {
    if (eventName_->text() != model_.eventName()) eventName_->setText(model_.eventName());
  });
  grid->addWidget(eventName_, 1, 0);

  grid->addWidget(roleLabel(QStringLiteral("赛事日期"), "secondary"), 0, 1);
  eventDate_ = new QDateEdit(model_.eventDate());
  eventDate_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  eventDate_->setCalendarPopup(true);
  eventDate_->setAccessibleName(QStringLiteral("赛事日期"));
  eventDate_->setMinimumWidth(150);
  connect(eventDate_, &QDateEdit::dateChanged, &model_, &AppModel::setEventDate);
  connect(&model_, &AppModel::eventDateChanged, eventDate_, [this] {
    if (eventDate_->date() != model_.eventDate()) eventDate_->setDate(model_.eventDate());
  });
  grid->addWidget(eventDate_, 1, 1);

  auto* naming = roleLabel(model_.namingDescription(), "note");
  naming->setAccessibleName(QStringLiteral("批次名称"));
  connect(&model_, &AppModel::namingDescriptionChanged, naming,
          [this, naming] { naming->setText(model_.namingDescription()); });
  grid->addWidget(naming, 2, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  return block;
}

void PhotosSection::showInput() {
  const bool chosen = !model_.input().isEmpty();
  inputPath_->setText(chosen ? model_.input() : QStringLiteral("尚未选择照片"));
  inputPath_->setEnabled(chosen);  // the placeholder reads as secondary text
}

void PhotosSection::showCards() {
  // Later, not now: this may run inside the clicked handler of a button it removes.
  while (QLayoutItem* item = cardButtonRow_->takeAt(0)) {
    item->widget()->hide();
    item->widget()->deleteLater();
    delete item;
  }
  for (const CameraCard& card : model_.cards()) {
    const QString name = QString::fromStdString(card.name);
    auto* cardButton = button(name, name);
    cardButton->setCheckable(true);
    cardButton->setChecked(model_.selectedCardID() == card.id);
    cardButton->setIcon(symbol(QStringLiteral("card"),
                               cardButton->isChecked() ? QColor(Qt::white) : cardSymbolColor_, 16,
                               devicePixelRatioF()));
    cardButton->setEnabled(!model_.running());
    connect(cardButton, &QPushButton::clicked, this, [this, card] {
      model_.selectCard(card);
      showCards();  // keeps the mark on the selected card even when nothing changed
    });
    cardButtonRow_->addWidget(cardButton);
  }
  cardButtons_->setVisible(!model_.cards().empty());
  cardStatus_->setText(model_.cardStatus());
}

void PhotosSection::showRunning() {
  const bool idle = !model_.running();
  for (QWidget* control :
       std::initializer_list<QWidget*>{chooseInput_, changeOutput_, eventName_, eventDate_}) {
    control->setEnabled(idle);
  }
  showCards();
}

void PhotosSection::applyTheme(const BrandTheme& theme) {
  cardSymbolColor_ = theme.interactive;
  refresh_->setIcon(symbol(QStringLiteral("refresh"), theme.interactive, 16, devicePixelRatioF()));
  chooseInput_->setIcon(
      symbol(QStringLiteral("folder"), theme.interactive, 16, devicePixelRatioF()));
  changeOutput_->setIcon(
      symbol(QStringLiteral("folder"), theme.interactive, 16, devicePixelRatioF()));
  showCards();
}

}  // namespace kestrel
