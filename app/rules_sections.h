// SPDX-License-Identifier: MIT
// "自动处理规则" (trim limit, delivery floor, what the mode does) and
// "结果分开保存" (the output category folders).
#pragma once

#include "app/brand_theme.h"
#include "app/brand_widgets.h"
#include "core/run/batch_configuration.h"

class QPushButton;

namespace kestrel {

class AppModel;

class RulesSection : public BrandCard {
  Q_OBJECT
 public:
  explicit RulesSection(AppModel& model, QWidget* parent = nullptr);
  void applyTheme(const BrandTheme& theme);

 private:
  void show();

  AppModel& model_;
  QLabel* shield_ = nullptr;
  QLabel* modeLine_;
  QWidget* warningRow_;
  QLabel* warningSymbol_;
  QPushButton* backToAuto_;
};

class DestinationsSection : public BrandCard {
  Q_OBJECT
 public:
  explicit DestinationsSection(AppModel& model, QWidget* parent = nullptr);

 private:
  AppModel& model_;
  QLabel* benchmarkNote_;
};

// The sentence under the rules that says what a mode does to the photos.
QString modeDescription(ProcessingMode mode);

}  // namespace kestrel
