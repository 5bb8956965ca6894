// SPDX-License-Identifier: MIT
// The result section: the status title and message, the progress of a run,
// and a finished run's figures with the buttons that open its results.
#pragma once

#include <array>

#include "app/brand_theme.h"
#include "app/brand_widgets.h"

class QProgressBar;
class QPushButton;

namespace kestrel {

class AppModel;

class ResultSection : public BrandCard {
  Q_OBJECT
 public:
  explicit ResultSection(AppModel& model, QWidget* parent = nullptr);
  void applyTheme(const BrandTheme& theme);

 private:
  QWidget* progressBlock();
  QWidget* summaryBlock();
  void showStatus();
  void showProgress();
  void showSummary();

  AppModel& model_;
  BrandTheme theme_ = BrandTheme::light();
  QLabel* phaseSymbol_;
  QLabel* title_;
  QLabel* message_;
  QWidget* progress_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* countLine_ = nullptr;
  QLabel* statusLine_ = nullptr;
  QWidget* summary_ = nullptr;
  std::array<QLabel*, 6> metrics_{};
  QLabel* timing_ = nullptr;
  QPushButton* filtered_ = nullptr;
  QPushButton* review_ = nullptr;
};

}  // namespace kestrel
