// SPDX-License-Identifier: MIT
#include "app/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace kestrel {

void notifyDesktop(const QString& title, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage notify = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral(KESTREL_APP_ID));
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  notify << QStringLiteral("隼影") << 0u << QStringLiteral(KESTREL_APP_ID) << title << body
         << QStringList() << hints << -1;
  bus.send(notify);
}

}  // namespace kestrel
