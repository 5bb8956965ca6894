// SPDX-License-Identifier: MIT
// The bar under the scrolling sections: start and stop, and the footer lines.
#pragma once

#include <QFrame>

class QPushButton;

namespace kestrel {

class AppModel;

class ActionBar : public QFrame {
  Q_OBJECT
 public:
  explicit ActionBar(AppModel& model, QWidget* parent = nullptr);

 private:
  void show();

  AppModel& model_;
  QPushButton* start_;
  QPushButton* stop_;
};

}  // namespace kestrel
