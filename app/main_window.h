// SPDX-License-Identifier: MIT
// The application's one window: the menu, the scrolling sections, the
// action bar and the theme. It holds no state of its own beyond the
// toolkit's; everything it shows comes from the AppModel.
#pragma once

#include <QMainWindow>
#include <QSettings>

#include "app/brand_images.h"

class QAction;
class QScrollArea;

namespace kestrel {

class AppModel;
class HeaderSection;
class PhotosSection;
class RulesSection;
class ResultSection;
class SystemAppearance;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  // `settings` keeps the window's size between sessions.
  MainWindow(AppModel& model, const BrandImages& images, QSettings& settings,
             QWidget* parent = nullptr);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildMenu();
  void applyTheme();
  void followRun();
  void showAbout();

  AppModel& model_;
  BrandImages images_;
  QSettings& settings_;
  SystemAppearance* system_;
  QScrollArea* scroll_;
  HeaderSection* header_;
  PhotosSection* photos_;
  RulesSection* rules_;
  ResultSection* result_;
};

}  // namespace kestrel
