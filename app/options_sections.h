// SPDX-License-Identifier: MIT
// "本次处理" (whole folder or a trial batch) and the "高级设置" disclosure
// (workers, minimum long edge, previews, processing mode, race numbers).
#pragma once

#include "app/brand_widgets.h"

class QPushButton;
class QSpinBox;
class QToolButton;

namespace kestrel {

class AppModel;

class RunSection : public BrandCard {
  Q_OBJECT
 public:
  explicit RunSection(AppModel& model, QWidget* parent = nullptr);

 private:
  void show();

  AppModel& model_;
  QPushButton* wholeFolder_;
  QPushButton* trialBatch_;
  QWidget* limitRow_;
  QSpinBox* limit_;
};

class AdvancedSection : public BrandCard {
  Q_OBJECT
 public:
  explicit AdvancedSection(AppModel& model, QWidget* parent = nullptr);

 private:
  void show();

  AppModel& model_;
  QToolButton* disclosure_;
  QWidget* settings_;
};

// Every option is fixed while a run is in progress.
void lockWhileRunning(AppModel& model, std::initializer_list<QWidget*> controls);

}  // namespace kestrel
