// SPDX-License-Identifier: MIT
// BrandTheme: the window's named colours in a light and a dark form, and
// the palette, style sheet and font that carry them to every widget.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

namespace kestrel {

struct BrandTheme {
  QColor action;       // primary buttons, the same in both schemes
  QColor accent;       // highlights, the same in both schemes
  QColor interactive;  // links, selected choices, focus
  QColor background;   // behind the cards
  QColor surface;      // the cards
  QColor inset;        // fields and wells inside a card
  QColor text;
  QColor secondary;  // help lines, notes, placeholders
  QColor line;       // borders and separators
  QColor success;
  QColor warning;
  QColor error;

  static BrandTheme light();
  static BrandTheme dark();
  static BrandTheme forScheme(bool dark) { return dark ? BrandTheme::dark() : light(); }
};

// Chinese text is set in Noto Sans CJK SC, with the desktop's font behind it
// for anything that face lacks.
QFont brandFont();
QString monospaceFamily();

QPalette brandPalette(const BrandTheme& theme);

// The look of Kestrel's own widget roles: cards (objectName "BrandCard"),
// text roles (property "role": title, subtitle, secondary, note, warning,
// metric, mono), the primary button ("primary") and segmented choices.
QString brandStyleSheet(const BrandTheme& theme);

}  // namespace kestrel
