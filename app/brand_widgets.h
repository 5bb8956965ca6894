// SPDX-License-Identifier: MIT
// Small views shared by the window's sections.
#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QString>

class QVBoxLayout;

namespace kestrel {

// A rounded surface card with a line border around any content; the style
// sheet gives it the theme's colours.
class BrandCard : public QFrame {
  Q_OBJECT
 public:
  explicit BrandCard(QWidget* parent = nullptr);
  QVBoxLayout* content() const { return content_; }

 private:
  QVBoxLayout* content_;
};

// A short text, optionally after a small symbol, on a capsule of one colour.
class BrandPill : public QWidget {
  Q_OBJECT
 public:
  explicit BrandPill(const QString& text, QWidget* parent = nullptr);
  void setColor(const QColor& color);
  void setSymbol(const QPixmap& symbol);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_;
  QLabel* symbol_;
  QLabel* text_;
};

// A label styled by its role in the style sheet (see brandStyleSheet).
QLabel* roleLabel(const QString& text, const char* role, QWidget* parent = nullptr);

// A card's heading: title, optional subtitle and optional symbol label
// (returned through `symbolLabel` so the caller can recolour it).
QWidget* sectionHeading(const QString& title, const QString& subtitle,
                        QLabel** symbolLabel = nullptr);

}  // namespace kestrel
