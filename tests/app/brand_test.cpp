// SPDX-License-Identifier: MIT
// The brand resources the application refuses to start without, and how
// the appearance choice and the desktop's preference become light or dark.
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/appearance.h"
#include "app/brand_images.h"
#include "app/system_appearance.h"
#include "core/base/crop_error.h"

using namespace kestrel;

namespace {

void copyResource(const QString& name, const QDir& to) {
  QVERIFY(QFile::copy(kBrandResourceRoot + "/" + name + ".svg", to.filePath(name + ".svg")));
}

}  // namespace

class BrandTest : public QObject {
  Q_OBJECT

 private slots:
  void compiledImagesLoadAndDraw() {
    const BrandImages images = loadBrandImages();
    for (const QByteArray& svg : {images.icon, images.mark}) {
      const QImage drawn = renderSvg(svg, QSize(64, 64), 1.0).toImage();
      // Something opaque in the middle: the bird is there, not just a frame.
      QVERIFY(qAlpha(drawn.pixel(32, 32)) > 0);
    }
  }

  void startupFailures_data() {
    QTest::addColumn<bool>("rootExists");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("brokenImage");
    QTest::addColumn<QString>("message");
    QTest::newRow("no resource root") << false << QStringList{} << ""
                                      << "应用缺少品牌资源包，请重新构建完整应用。";
    QTest::newRow("empty root") << true << QStringList{} << ""
                                << "缺少品牌图片：BrandIcon";
    QTest::newRow("mark missing") << true << QStringList{"BrandIcon"} << ""
                                  << "缺少品牌图片：BrandMark";
    QTest::newRow("icon not an SVG") << true << QStringList{"BrandMark"} << "BrandIcon"
                                     << "缺少品牌图片：BrandIcon";
  }
  void startupFailures() {
    QFETCH(bool, rootExists);
    QFETCH(QStringList, present);
    QFETCH(QString, brokenImage);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QDir root(dir.filePath("Kestrel_CropApp"));
    if (rootExists) QVERIFY(QDir().mkpath(root.path()));
    for (const QString& name : present) copyResource(name, root);
    if (!brokenImage.isEmpty()) {
      QFile file(root.filePath(brokenImage + ".svg"));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("<svg this is not");
    }
    try {
      loadBrandImages(root.path());
      QFAIL("loaded without its images");
    } catch (const CropError& error) {
      QCOMPARE(QString::fromUtf8(error.what()), message);
    }
  }

  void darkScheme_data() {
    QTest::addColumn<AppAppearance>("appearance");
    QTest::addColumn<int>("portal");  // -1: the portal did not answer
    QTest::addColumn<QColor>("platformWindow");
    QTest::addColumn<bool>("dark");
    const QColor lightWindow("#EFEFEF");
    const QColor darkWindow("#2A2A2A");
    QTest::newRow("system, portal prefers dark")
        << AppAppearance::system << 1 << lightWindow << true;
    QTest::newRow("system, portal prefers light")
        << AppAppearance::system << 2 << darkWindow << false;
    QTest::newRow("system, no preference, dark palette")
        << AppAppearance::system << 0 << darkWindow << true;
    QTest::newRow("system, no preference, light palette")
        << AppAppearance::system << 0 << lightWindow << false;
    QTest::newRow("system, no portal, dark palette")
        << AppAppearance::system << -1 << darkWindow << true;
    QTest::newRow("forced light on a dark desktop")
        << AppAppearance::light << 1 << darkWindow << false;
    QTest::newRow("forced dark on a light desktop")
        << AppAppearance::dark << 2 << lightWindow << true;
  }
  void darkScheme() {
    QFETCH(AppAppearance, appearance);
    QFETCH(int, portal);
    QFETCH(QColor, platformWindow);
    QFETCH(bool, dark);
    const std::optional<unsigned> scheme =
        portal < 0 ? std::nullopt : std::optional(static_cast<unsigned>(portal));
    QCOMPARE(usesDarkScheme(appearance, systemPrefersDark(scheme, platformWindow)), dark);
  }

  // The portal's Read answers with the value wrapped in a second variant.
  void portalReplyIsUnwrapped_data() {
    QTest::addColumn<QVariant>("reply");
    QTest::addColumn<int>("scheme");  // -1: none
    QTest::newRow("plain") << QVariant(1u) << 1;
    QTest::newRow("one variant") << QVariant::fromValue(QDBusVariant(2u)) << 2;
    QTest::newRow("variant in variant")
        << QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(1u)))) << 1;
    QTest::newRow("not a number") << QVariant::fromValue(QDBusVariant(QString("dark"))) << -1;
  }
  void portalReplyIsUnwrapped() {
    QFETCH(QVariant, reply);
    QFETCH(int, scheme);
    const auto found = portalColorScheme(reply);
    QCOMPARE(found.has_value(), scheme >= 0);
    if (found) QCOMPARE(static_cast<int>(*found), scheme);
  }
};

QTEST_MAIN(BrandTest)
#include "brand_test.moc"
