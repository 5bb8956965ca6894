// SPDX-License-Identifier: MIT
// A desktop notification through org.freedesktop.Notifications.
#pragma once

#include <QString>

namespace kestrel {

// Posts the notification and returns at once. Without a session bus or a
// notification daemon nothing happens: the window shows the same texts.
void notifyDesktop(const QString& title, const QString& body);

}  // namespace kestrel
