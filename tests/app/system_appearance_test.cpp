// SPDX-License-Identifier: MIT
// SystemAppearance against a stand-in desktop portal on a private session
// bus (run under dbus-run-session): the preference is read at start and
// followed when the portal announces a change.
#include "app/system_appearance.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QtTest>

using namespace kestrel;

namespace {

const QString kPortal = "org.freedesktop.portal.Desktop";
const QString kPath = "/org/freedesktop/portal/desktop";
const QString kGroup = "org.freedesktop.appearance";
const QString kKey = "color-scheme";

}  // namespace

// Answers Read as the real portal does: the value in a variant in a variant.
class FakePortalSettings : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  unsigned scheme = 0;

 public slots:
  QDBusVariant Read(const QString& group, const QString& key) {
    if (group != kGroup || key != kKey) return {};
    return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme)));
  }

 signals:
  void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);
};

class SystemAppearanceTest : public QObject {
  Q_OBJECT

  FakePortalSettings portal_;

 private slots:
  void initTestCase() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) QSKIP("no session bus: run this test under dbus-run-session");
    QVERIFY(bus.registerService(kPortal));
    QVERIFY(bus.registerObject(
        kPath, &portal_, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
  }

  void readsThePreferenceAndFollowsChanges() {
    portal_.scheme = 1;  // prefers dark, on a desktop whose palette is light
    SystemAppearance appearance(QColor("#F0F0F0"));
    QTRY_VERIFY(appearance.prefersDark());

    QSignalSpy changed(&appearance, &SystemAppearance::changed);
    emit portal_.SettingChanged(kGroup, kKey, QDBusVariant(2u));
    QTRY_COMPARE(changed.count(), 1);
    QVERIFY(!appearance.prefersDark());

    emit portal_.SettingChanged(kGroup, kKey, QDBusVariant(1u));
    QTRY_COMPARE(changed.count(), 2);
    QVERIFY(appearance.prefersDark());
  }
};

QTEST_GUILESS_MAIN(SystemAppearanceTest)
#include "system_appearance_test.moc"
