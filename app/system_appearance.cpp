// SPDX-License-Identifier: MIT
#include "app/system_appearance.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "app/appearance.h"

namespace kestrel {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

}  // namespace

std::optional<unsigned> portalColorScheme(const QVariant& value) {
  QVariant inner = value;
  while (inner.metaType() == QMetaType::fromType<QDBusVariant>()) {
    inner = qvariant_cast<QDBusVariant>(inner).variant();
  }
  bool ok = false;
  const unsigned scheme = inner.toUInt(&ok);
  return ok ? std::optional(scheme) : std::nullopt;
}

SystemAppearance::SystemAppearance(const QColor& platformWindow, QObject* parent)
    : QObject(parent), platformWindow_(platformWindow) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
              SLOT(settingChanged(QDBusMessage)));
  QDBusMessage read =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Read"));
  read << kGroup << kKey;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (!reply.isError()) setScheme(reply.argumentAt(0));
    call->deleteLater();
  });
}

bool SystemAppearance::prefersDark() const {
  return systemPrefersDark(portalScheme_, platformWindow_);
}

void SystemAppearance::settingChanged(const QDBusMessage& message) {
  const QList<QVariant> arguments = message.arguments();  // group, key, value
  if (arguments.size() == 3 && arguments[0].toString() == kGroup &&
      arguments[1].toString() == kKey) {
    setScheme(arguments[2]);
  }
}

void SystemAppearance::setScheme(const QVariant& value) {
  const bool before = prefersDark();
  portalScheme_ = portalColorScheme(value);
  if (prefersDark() != before) emit changed();
}

}  // namespace kestrel
