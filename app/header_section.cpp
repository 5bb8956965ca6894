// SPDX-License-Identifier: MIT
#include "app/header_section.h"

#include <QActionGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/brand_widgets.h"

namespace kestrel {

namespace {

constexpr int kMarkSize = 52;

}  // namespace

HeaderSection::HeaderSection(AppModel& model, const BrandImages& images, QWidget* parent)
    : QWidget(parent),
      images_(images),
      mark_(new QLabel(this)),
      localPill_(new BrandPill(QStringLiteral("本机处理"), this)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(4, 0, 4, 4);
  row->setSpacing(14);
  mark_->setFixedSize(kMarkSize, kMarkSize);
  mark_->setAccessibleName(QStringLiteral("隼影"));
  row->addWidget(mark_);

  auto* names = new QVBoxLayout;
  names->setSpacing(0);
  auto* name = roleLabel(QStringLiteral("隼影"), "brand");
  name->setWordWrap(false);
  names->addWidget(name);
  names->addWidget(roleLabel(QStringLiteral("马拉松照片自动构图"), "subtitle"));
  row->addLayout(names);
  row->addStretch();
  row->addWidget(localPill_, 0, Qt::AlignVCenter);

  auto* appearance = new QToolButton(this);
  appearance->setText(QStringLiteral("界面外观"));
  appearance->setToolTip(QStringLiteral("跟随系统、浅色或深色"));
  appearance->setAccessibleName(QStringLiteral("界面外观"));
  appearance->setAccessibleDescription(QStringLiteral("跟随系统、浅色或深色"));
  appearance->setPopupMode(QToolButton::InstantPopup);
  auto* menu = new QMenu(appearance);
  auto* group = new QActionGroup(menu);
  for (const AppAppearance choice : allAppearances) {
    QAction* action = menu->addAction(rawValue(choice));
    action->setCheckable(true);
    action->setChecked(model.appearance() == choice);
    group->addAction(action);
    connect(action, &QAction::triggered, &model, [&model, choice] { model.setAppearance(choice); });
    connect(&model, &AppModel::appearanceChanged, action,
            [&model, action, choice] { action->setChecked(model.appearance() == choice); });
  }
  appearance->setMenu(menu);
  row->addWidget(appearance, 0, Qt::AlignVCenter);
}

void HeaderSection::applyTheme(const BrandTheme& theme) {
  mark_->setPixmap(renderSvg(images_.mark, QSize(kMarkSize, kMarkSize), devicePixelRatioF()));
  localPill_->setColor(theme.action);
  localPill_->setSymbol(symbol(QStringLiteral("desktop"), Qt::white, 16, devicePixelRatioF()));
}

}  // namespace kestrel
