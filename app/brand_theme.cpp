// SPDX-License-Identifier: MIT
#include "app/brand_theme.h"

#include <QApplication>

namespace kestrel {

namespace {

QColor hex(const char* text) { return QColor(QString::fromLatin1(text)); }

QString css(const QColor& color) { return color.name(QColor::HexRgb); }

QString cssWithAlpha(const QColor& color, double alpha) {
  return QStringLiteral("rgba(%1, %2, %3, %4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(alpha, 0, 'f', 2);
}

}  // namespace

BrandTheme BrandTheme::light() {
  return {hex("#C94721"), hex("#F36A3D"), hex("#C94721"), hex("#F5F6F2"),
          hex("#FFFFFF"), hex("#F3F5F1"), hex("#152B2A"), hex("#56665C"),
          hex("#DDE4DA"), hex("#267152"), hex("#8F5A12"), hex("#B23926")};
}

BrandTheme BrandTheme::dark() {
  return {hex("#C94721"), hex("#F36A3D"), hex("#FF9A6C"), hex("#101916"),
          hex("#18231F"), hex("#121D18"), hex("#F2F5ED"), hex("#B0BDB3"),
          hex("#34473B"), hex("#8AC6A1"), hex("#EAC17E"), hex("#FFAD96")};
}

QFont brandFont() {
  QFont font = QApplication::font();
  font.setFamilies(
      {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans"), font.family()});
  font.setPointSizeF(10.5);
  return font;
}

QString monospaceFamily() { return QStringLiteral("Noto Sans Mono CJK SC"); }

QPalette brandPalette(const BrandTheme& t) {
  QPalette palette;
  palette.setColor(QPalette::Window, t.background);
  palette.setColor(QPalette::WindowText, t.text);
  palette.setColor(QPalette::Base, t.inset);
  palette.setColor(QPalette::AlternateBase, t.surface);
  palette.setColor(QPalette::Text, t.text);
  palette.setColor(QPalette::Button, t.surface);
  palette.setColor(QPalette::ButtonText, t.text);
  palette.setColor(QPalette::BrightText, t.error);
  palette.setColor(QPalette::Highlight, t.action);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, t.interactive);
  palette.setColor(QPalette::LinkVisited, t.interactive);
  palette.setColor(QPalette::PlaceholderText, t.secondary);
  palette.setColor(QPalette::ToolTipBase, t.surface);
  palette.setColor(QPalette::ToolTipText, t.text);
  palette.setColor(QPalette::Light, t.surface);
  palette.setColor(QPalette::Midlight, t.line);
  palette.setColor(QPalette::Mid, t.line);
  palette.setColor(QPalette::Dark, t.secondary);
  palette.setColor(QPalette::Shadow, t.line);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, t.secondary);
  }
  return palette;
}

QString brandStyleSheet(const BrandTheme& t) {
  QString sheet = QStringLiteral(R"(
QWidget#WindowContent, QScrollArea, QScrollArea > QWidget > QWidget { background: @background; }
QFrame#ActionBar { background: @surface; border-top: 1px solid @line; }
QFrame#BrandCard { background: @surface; border: 1px solid @line; border-radius: 14px; }
QLabel { color: @text; background: transparent; }
QLabel:disabled { color: @secondary; }
QLabel[role="title"] { font-size: 15pt; font-weight: 600; }
QLabel[role="heading"] { font-size: 12pt; font-weight: 600; }
QLabel[role="status"] { font-size: 16pt; font-weight: 600; }
QLabel[role="brand"] { font-size: 20pt; font-weight: 700; }
QLabel[role="subtitle"], QLabel[role="secondary"] { color: @secondary; }
QLabel[role="note"] { color: @secondary; font-size: 9.5pt; }
QLabel[role="warning"] { color: @warning; font-weight: 600; }
QLabel[role="success"] { color: @success; }
QLabel[role="mono"] { font-family: "@mono"; }
QLabel[role="folder"] { font-family: "@mono"; color: @interactive; font-weight: 600; }
QLabel[role="path"] { background: @inset; border: 1px solid @line; border-radius: 8px;
                      padding: 6px 10px; }
QLabel[role="metricValue"] { font-size: 20pt; font-weight: 700; font-family: "@mono"; }
QFrame#MetricTile { background: @inset; border: 1px solid @line; border-radius: 10px; }
QPushButton, QToolButton {
  color: @text; background: @surface; border: 1px solid @line; border-radius: 8px;
  padding: 6px 14px;
}
QPushButton:hover, QToolButton:hover { border-color: @interactive; }
QPushButton:disabled, QToolButton:disabled { color: @secondary; background: @inset; }
QPushButton:checked { color: #FFFFFF; background: @action; border-color: @action; }
QPushButton[primary="true"] {
  color: #FFFFFF; background: @action; border-color: @action; font-weight: 600;
  padding: 8px 22px;
}
QPushButton[primary="true"]:hover { background: @accent; border-color: @accent; }
QPushButton[primary="true"]:disabled { background: @actionFaded; border-color: @actionFaded; }
QPushButton[segment="true"] { border-radius: 0; padding: 6px 18px; }
QPushButton[segment="first"] { border-top-right-radius: 0; border-bottom-right-radius: 0; }
QPushButton[segment="last"] { border-top-left-radius: 0; border-bottom-left-radius: 0;
                              margin-left: -1px; }
QToolButton#Disclosure { border: none; background: transparent; font-weight: 600;
                         padding: 4px 0; }
QToolButton::menu-indicator { image: none; width: 0; }
QComboBox, QSpinBox, QDateEdit, QLineEdit {
  color: @text; background: @inset; border: 1px solid @line; border-radius: 8px;
  padding: 5px 8px; selection-background-color: @action; selection-color: #FFFFFF;
}
QComboBox::drop-down, QDateEdit::drop-down {
  subcontrol-origin: padding; subcontrol-position: center right; width: 26px; border: none;
}
QComboBox::down-arrow, QDateEdit::down-arrow {
  image: url(:/Kestrel_CropApp/symbols/chevron-@scheme.svg); width: 12px; height: 12px;
}
QComboBox:focus, QSpinBox:focus, QDateEdit:focus, QLineEdit:focus { border-color: @interactive; }
QComboBox:disabled, QSpinBox:disabled, QDateEdit:disabled, QLineEdit:disabled { color: @secondary; }
QComboBox QAbstractItemView { background: @surface; color: @text; border: 1px solid @line;
                              selection-background-color: @action; selection-color: #FFFFFF; }
QProgressBar { background: @inset; border: 1px solid @line; border-radius: 6px; height: 12px;
               text-align: center; color: transparent; }
QProgressBar::chunk { background: @action; border-radius: 5px; }
QMenuBar { background: @surface; color: @text; border-bottom: 1px solid @line; }
QMenuBar::item:selected { background: @inset; }
QMenu { background: @surface; color: @text; border: 1px solid @line; }
QMenu::item:selected { background: @action; color: #FFFFFF; }
QMenu::item:disabled { color: @secondary; }
QScrollBar:vertical { background: @background; width: 12px; margin: 0; border: none; }
QScrollBar::handle:vertical { background: @line; border-radius: 4px; min-height: 40px;
                              margin: 2px 3px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QToolTip { background: @surface; color: @text; border: 1px solid @line; }
QFrame[role="separator"] { background: @line; max-height: 1px; min-height: 1px; border: none; }
)");
  const std::pair<const char*, QString> names[] = {
      {"@background", css(t.background)},
      {"@surface", css(t.surface)},
      {"@inset", css(t.inset)},
      {"@text", css(t.text)},
      {"@secondary", css(t.secondary)},
      {"@line", css(t.line)},
      {"@interactive", css(t.interactive)},
      {"@actionFaded", cssWithAlpha(t.action, 0.45)},
      {"@action", css(t.action)},
      {"@accent", css(t.accent)},
      {"@warning", css(t.warning)},
      {"@success", css(t.success)},
      {"@mono", monospaceFamily()},
      {"@scheme",
       t.background.lightness() < 128 ? QStringLiteral("dark") : QStringLiteral("light")},
  };
  for (const auto& [name, value] : names) sheet.replace(QLatin1String(name), value);
  return sheet;
}

}  // namespace kestrel
