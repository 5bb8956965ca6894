// SPDX-License-Identifier: MIT
// Bib: a race number read on a runner's bib, as the records carry it.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/geometry.h"

namespace kestrel {

struct Bib {
  std::string number;       // decimal digits only, as printed ("951", "0427")
  double confidence = 0;    // the recogniser's certainty, 0…1
  Box box;                  // where the digits are: display space, normalized
  std::int64_t person = 0;  // index of the runner in the detector's people

  bool operator==(const Bib&) const = default;
};

}  // namespace kestrel
