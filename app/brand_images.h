// SPDX-License-Identifier: MIT
// The brand images and symbols, drawn for Kestrel as SVG and compiled into
// the program as Qt resources under :/Kestrel_CropApp.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace kestrel {

inline const QString kBrandResourceRoot = QStringLiteral(":/Kestrel_CropApp");

// The SVG documents of "BrandIcon" (the application icon) and "BrandMark"
// (the header's logo).
struct BrandImages {
  QByteArray icon;
  QByteArray mark;
};

// Reads both images from `root`. Throws CropError "应用缺少品牌资源包，请重新构建
// 完整应用。" when the root is missing and "缺少品牌图片：<name>" when an image
// is missing or not a drawable SVG: the application does not start without them.
BrandImages loadBrandImages(const QString& root = kBrandResourceRoot);

// An SVG drawn at `size` logical pixels for a screen of the given ratio.
QPixmap renderSvg(const QByteArray& svg, const QSize& size, qreal devicePixelRatio);
QIcon applicationIcon(const BrandImages& images);

// A line symbol of symbols/<name>.svg under the brand root, stroked in
// `color`.
QPixmap symbol(const QString& name, const QColor& color, int size, qreal devicePixelRatio);

}  // namespace kestrel
