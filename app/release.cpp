// SPDX-License-Identifier: MIT
#include "app/release.h"

#include "core/base/version.h"

namespace kestrel {

CropRelease cropRelease() {
  const QString version =
      QString::fromLatin1(kReleaseVersion.data(), static_cast<qsizetype>(kReleaseVersion.size()));
  QString digits = version;
  digits.remove(QLatin1Char('.'));
  return {version, version + QStringLiteral(" (") + digits + QStringLiteral(")")};
}

}  // namespace kestrel
