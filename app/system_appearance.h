// SPDX-License-Identifier: MIT
// SystemAppearance: whether the desktop prefers dark windows, read from the
// XDG desktop portal and followed while the application runs.
#pragma once

#include <QColor>
#include <QObject>
#include <QVariant>
#include <optional>

class QDBusMessage;

namespace kestrel {

class SystemAppearance : public QObject {
  Q_OBJECT
 public:
  // `platformWindow` is the platform palette's window colour, taken before
  // the brand palette replaces it; it decides when the portal gives no
  // preference. The portal is asked without blocking: until it answers (or
  // when there is no session bus or portal) the palette decides.
  explicit SystemAppearance(const QColor& platformWindow, QObject* parent = nullptr);

  bool prefersDark() const;

 signals:
  void changed();

 private slots:
  // The portal's SettingChanged(group, key, value). Taken as the whole
  // message: Qt 6.4's D-Bus refuses to connect it to a slot with the three
  // typed parameters.
  void settingChanged(const QDBusMessage& message);

 private:
  void setScheme(const QVariant& value);

  QColor platformWindow_;
  std::optional<unsigned> portalScheme_;
};

// The portal's color-scheme number inside a reply, however deeply the bus
// wrapped it in variants; nothing when it holds no number.
std::optional<unsigned> portalColorScheme(const QVariant& value);

}  // namespace kestrel
