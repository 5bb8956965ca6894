// SPDX-License-Identifier: MIT
// The about dialog: icon, name, version, build and credits.
#pragma once

#include <QDialog>

#include "app/brand_images.h"

namespace kestrel {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(const BrandImages& images, QWidget* parent = nullptr);
};

}  // namespace kestrel
