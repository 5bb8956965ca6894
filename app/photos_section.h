// SPDX-License-Identifier: MIT
// "照片与输出": the input folder and camera cards, the output root and the
// event naming.
#pragma once

#include "app/brand_theme.h"
#include "app/brand_widgets.h"

class QDateEdit;
class QHBoxLayout;
class QLineEdit;
class QPushButton;

namespace kestrel {

class AppModel;

class PhotosSection : public BrandCard {
  Q_OBJECT
 public:
  explicit PhotosSection(AppModel& model, QWidget* parent = nullptr);
  void applyTheme(const BrandTheme& theme);

 private:
  QWidget* inputRow();
  QWidget* cardRow();
  QWidget* outputRow();
  QWidget* namingRows();
  void showInput();
  void showCards();
  void showRunning();

  AppModel& model_;
  QLabel* inputPath_ = nullptr;
  QPushButton* chooseInput_ = nullptr;
  QWidget* cardButtons_ = nullptr;
  QHBoxLayout* cardButtonRow_ = nullptr;
  QPushButton* refresh_ = nullptr;
  QLabel* cardStatus_ = nullptr;
  QLabel* outputPath_ = nullptr;
  QPushButton* changeOutput_ = nullptr;
  QLineEdit* eventName_ = nullptr;
  QDateEdit* eventDate_ = nullptr;
  QColor cardSymbolColor_;
};

}  // namespace kestrel
