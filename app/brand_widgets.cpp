// SPDX-License-Identifier: MIT
#include "app/brand_widgets.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace kestrel {

BrandCard::BrandCard(QWidget* parent) : QFrame(parent), content_(new QVBoxLayout(this)) {
  setObjectName(QStringLiteral("BrandCard"));
  content_->setContentsMargins(22, 18, 22, 20);
  content_->setSpacing(12);
}

BrandPill::BrandPill(const QString& text, QWidget* parent)
    : QWidget(parent), symbol_(new QLabel(this)), text_(new QLabel(text, this)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(12, 4, 14, 4);
  row->setSpacing(6);
  row->addWidget(symbol_);
  row->addWidget(text_);
  symbol_->hide();
  text_->setStyleSheet(QStringLiteral("color: #FFFFFF; font-weight: 600;"));
  setAccessibleName(text);
}

void BrandPill::setColor(const QColor& color) {
  color_ = color;
  update();
}

void BrandPill::setSymbol(const QPixmap& symbol) {
  symbol_->setPixmap(symbol);
  symbol_->setVisible(!symbol.isNull());
}

void BrandPill::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color_);
  const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  painter.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
}

QLabel* roleLabel(const QString& text, const char* role, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("role", QString::fromLatin1(role));
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QWidget* sectionHeading(const QString& title, const QString& subtitle, QLabel** symbolLabel) {
  auto* heading = new QWidget;
  auto* row = new QHBoxLayout(heading);
  row->setContentsMargins(0, 0, 0, 4);
  row->setSpacing(8);
  if (symbolLabel) {
    *symbolLabel = new QLabel;
    row->addWidget(*symbolLabel);
  }
  auto* titleLabel = roleLabel(title, "title");
  titleLabel->setWordWrap(false);
  row->addWidget(titleLabel);
  if (!subtitle.isEmpty()) {
    auto* subtitleLabel = roleLabel(subtitle, "subtitle");
    subtitleLabel->setWordWrap(false);
    row->addSpacing(6);
    row->addWidget(subtitleLabel, 0, Qt::AlignBottom);
  }
  row->addStretch();
  return heading;
}

}  // namespace kestrel
