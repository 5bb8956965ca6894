// SPDX-License-Identifier: MIT
// CropRelease: the version texts of the about dialog, from the build's version.
#pragma once

#include <QString>

namespace kestrel {

struct CropRelease {
  QString version;  // "1.1.0"
  QString build;    // "1.1.0 (110)": the version and its digits
};

CropRelease cropRelease();

}  // namespace kestrel
