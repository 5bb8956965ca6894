// SPDX-License-Identifier: MIT
#include "app/action_bar.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/brand_widgets.h"

namespace kestrel {

ActionBar::ActionBar(AppModel& model, QWidget* parent)
    : QFrame(parent), model_(model), start_(new QPushButton), stop_(new QPushButton) {
  setObjectName(QStringLiteral("ActionBar"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(28, 12, 28, 12);
  row->setSpacing(10);

  auto* footer = new QVBoxLayout;
  footer->setSpacing(2);
  auto* readOnly = roleLabel(QStringLiteral("原片只读，照片留在本机"), "heading");
  readOnly->setWordWrap(false);
  footer->addWidget(readOnly);
  auto* scope = roleLabel(
      QStringLiteral("仅处理 JPG/JPEG；上传需使用平台软件。清晰度筛选结果建议抽查。"), "note");
  scope->setWordWrap(false);
  footer->addWidget(scope);
  row->addLayout(footer, 1);

  stop_->setCursor(Qt::PointingHandCursor);
  start_->setCursor(Qt::PointingHandCursor);
  start_->setProperty("primary", true);
  start_->setMinimumWidth(140);
  start_->setDefault(true);
  row->addWidget(stop_);
  row->addWidget(start_);

  connect(start_, &QPushButton::clicked, &model_, &AppModel::start);
  connect(stop_, &QPushButton::clicked, &model_, &AppModel::cancel);
  for (auto changed : {&AppModel::runningChanged, &AppModel::stoppingChanged,
                       &AppModel::summaryChanged, &AppModel::inputChanged}) {
    connect(&model_, changed, this, &ActionBar::show);
  }
  show();
}

void ActionBar::show() {
  QString label = QStringLiteral("开始处理");
  if (model_.running()) {
    label = QStringLiteral("处理中…");
  } else if (model_.summary()) {
    label = QStringLiteral("再处理一批");
  }
  start_->setText(label);
  start_->setAccessibleName(label);
  // Without photos there is nothing to start.
  start_->setEnabled(!model_.running() && !model_.input().isEmpty());

  const QString stopLabel =
      model_.stopping() ? QStringLiteral("正在停止…") : QStringLiteral("停止处理");
  stop_->setText(stopLabel);
  stop_->setAccessibleName(stopLabel);
  stop_->setEnabled(!model_.stopping());
  stop_->setVisible(model_.running());
}

}  // namespace kestrel
