// SPDX-License-Identifier: MIT
// The window's header: the brand mark and name, the "本机处理" pill and the
// appearance menu.
#pragma once

#include <QWidget>

#include "app/brand_images.h"
#include "app/brand_theme.h"

class QLabel;
class QToolButton;

namespace kestrel {

class AppModel;
class BrandPill;

class HeaderSection : public QWidget {
  Q_OBJECT
 public:
  HeaderSection(AppModel& model, const BrandImages& images, QWidget* parent = nullptr);
  void applyTheme(const BrandTheme& theme);

 private:
  BrandImages images_;
  QLabel* mark_;
  BrandPill* localPill_;
};

}  // namespace kestrel
