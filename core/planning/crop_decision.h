// SPDX-License-Identifier: MIT
// CropDecision: what the crop planner decided for one photo.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/base/geometry.h"

namespace kestrel {

struct CropDecision {
  std::optional<PixelRect> crop;       // raw pixels; absent when the photo stays whole
  std::string reason;                  // user-facing sentence, never absent
  std::vector<Person> people;          // every detection the planner was given, in order
  std::optional<Box> protectedRegion;  // display space; any crop had to contain it
  std::optional<double> compositionGain;
  std::optional<std::string> scene;  // "pair" or "single" (automatic mode only)
  std::optional<double> visualAnchorX;
  std::optional<double> pairStrength;

  bool changed() const { return crop.has_value(); }
  bool operator==(const CropDecision&) const = default;
};

}  // namespace kestrel
