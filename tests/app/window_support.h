// SPDX-License-Identifier: MIT
// Finding the window's controls the way assistive technology does: by their
// accessible names.
#pragma once

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QWidget>

namespace kestrel::testing {

// The controls an operator can act on: buttons, choice boxes, number, date
// and text fields, without the parts Qt builds inside them.
inline QList<QWidget*> controls(QWidget* window) {
  QList<QWidget*> found;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    const bool control =
        qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
        qobject_cast<QAbstractSpinBox*>(widget) || qobject_cast<QLineEdit*>(widget);
    bool inner = false;
    for (QWidget* up = widget->parentWidget(); up && up != window; up = up->parentWidget()) {
      inner = inner || qobject_cast<QAbstractSpinBox*>(up) || qobject_cast<QComboBox*>(up) ||
              qobject_cast<QLineEdit*>(up) || qobject_cast<QMenuBar*>(up);
    }
    if (control && !inner) found.push_back(widget);
  }
  return found;
}

// The one control of type T with that accessible name, or null.
template <typename T>
T* named(QWidget* window, const QString& name) {
  T* match = nullptr;
  for (T* widget : window->findChildren<T*>()) {
    if (widget->accessibleName() != name) continue;
    if (match) return nullptr;  // ambiguous: a test must not guess
    match = widget;
  }
  return match;
}

}  // namespace kestrel::testing
