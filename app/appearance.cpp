// SPDX-License-Identifier: MIT
#include "app/appearance.h"

namespace kestrel {

QString rawValue(AppAppearance appearance) {
  switch (appearance) {
    case AppAppearance::system:
      return QStringLiteral("跟随系统");
    case AppAppearance::light:
      return QStringLiteral("浅色");
    case AppAppearance::dark:
      return QStringLiteral("深色");
  }
  return {};
}

bool systemPrefersDark(std::optional<unsigned> portalColorScheme, const QColor& platformWindow) {
  constexpr unsigned kPrefersDark = 1;
  constexpr unsigned kPrefersLight = 2;
  if (portalColorScheme == kPrefersDark) return true;
  if (portalColorScheme == kPrefersLight) return false;
  return platformWindow.lightness() < 128;
}

bool usesDarkScheme(AppAppearance appearance, bool systemDark) {
  switch (appearance) {
    case AppAppearance::system:
      return systemDark;
    case AppAppearance::light:
      return false;
    case AppAppearance::dark:
      return true;
  }
  return systemDark;
}

}  // namespace kestrel
