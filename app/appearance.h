// SPDX-License-Identifier: MIT
// The window's appearance choice and how it becomes light or dark.
#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>

namespace kestrel {

enum class AppAppearance { system, light, dark };

inline constexpr std::array<AppAppearance, 3> allAppearances = {
    AppAppearance::system, AppAppearance::light, AppAppearance::dark};

// "跟随系统", "浅色", "深色": also the labels of the appearance menu.
QString rawValue(AppAppearance appearance);

// Whether the desktop asks for dark windows. `portalColorScheme` is the XDG
// desktop portal's org.freedesktop.appearance color-scheme (1 prefers dark,
// 2 prefers light, 0 no preference) when the portal answered; without a
// preference the platform palette's window colour decides by its lightness.
bool systemPrefersDark(std::optional<unsigned> portalColorScheme, const QColor& platformWindow);

// The scheme the window uses: the operator's choice, or the desktop's for
// `system`.
bool usesDarkScheme(AppAppearance appearance, bool systemDark);

}  // namespace kestrel
