// SPDX-License-Identifier: MIT
#include "app/about_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/brand_widgets.h"
#include "app/release.h"

namespace kestrel {

AboutDialog::AboutDialog(const BrandImages& images, QWidget* parent) : QDialog(parent) {
  const CropRelease release = cropRelease();
  setWindowTitle(QStringLiteral("关于隼影"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(40, 28, 40, 24);
  layout->setSpacing(6);

  auto* icon = new QLabel;
  icon->setPixmap(renderSvg(images.icon, QSize(96, 96), devicePixelRatioF()));
  icon->setAlignment(Qt::AlignCenter);
  icon->setAccessibleName(QStringLiteral("隼影"));
  layout->addWidget(icon);

  const auto centred = [layout](QLabel* label) {
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(false);
    layout->addWidget(label);
  };
  centred(roleLabel(QStringLiteral("隼影"), "brand"));
  centred(roleLabel(QStringLiteral("版本 ") + release.version, "secondary"));
  centred(roleLabel(release.build, "note"));
  layout->addSpacing(8);
  centred(roleLabel(QStringLiteral("马拉松照片自动构图\nC 相向取景 · 本机处理"), "secondary"));
  layout->addSpacing(12);

  auto* close = new QPushButton(QStringLiteral("好"));
  close->setAccessibleName(QStringLiteral("好"));
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(close, 0, Qt::AlignCenter);
}

}  // namespace kestrel
