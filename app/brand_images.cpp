// SPDX-License-Identifier: MIT
#include "app/brand_images.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include "core/base/crop_error.h"

namespace kestrel {

namespace {

QByteArray readImage(const QDir& root, const QString& name) {
  QFile file(root.filePath(name + QStringLiteral(".svg")));
  QByteArray data;
  if (file.open(QIODevice::ReadOnly)) data = file.readAll();
  if (data.isEmpty() || !QSvgRenderer(data).isValid()) {
    throw CropError((QStringLiteral("缺少品牌图片：") + name).toStdString());
  }
  return data;
}

}  // namespace

BrandImages loadBrandImages(const QString& root) {
  const QDir folder(root);
  if (!folder.exists()) throw CropError("应用缺少品牌资源包，请重新构建完整应用。");
  return {readImage(folder, QStringLiteral("BrandIcon")),
          readImage(folder, QStringLiteral("BrandMark"))};
}

QPixmap renderSvg(const QByteArray& svg, const QSize& size, qreal devicePixelRatio) {
  QPixmap pixmap(size * devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(svg);
  QPainter painter(&pixmap);
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

QIcon applicationIcon(const BrandImages& images) {
  QIcon icon;
  for (const int side : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(renderSvg(images.icon, QSize(side, side), 1.0));
  }
  return icon;
}

QPixmap symbol(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
  QFile file(kBrandResourceRoot + QStringLiteral("/symbols/") + name + QStringLiteral(".svg"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QByteArray svg = file.readAll();
  svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
  return renderSvg(svg, QSize(size, size), devicePixelRatio);
}

}  // namespace kestrel
