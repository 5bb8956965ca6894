// SPDX-License-Identifier: MIT
// The event name and date that label a batch directory: which ones a run
// accepts and the directory-safe form of a name. The configuration checks
// them before a run starts and the batch directory uses them to name it, so
// both read the rules from here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::BatchDirectory {

// The directory-safe form of an event name: control characters (Cc, Cf) and
// "/", "\", ":" each become "-", then whitespace, line breaks, "." and "-"
// are trimmed from both ends.
std::string cleanLabel(std::string_view label);

// True when there is no name or it is only whitespace: the run is unlabelled.
bool isUnlabelled(const std::optional<std::string>& label);

// Throws CropError when a labelled run cannot use this name and date: the
// cleaned name must hold 1…160 bytes, the date must be a real day "yyyyMMdd".
void validate(const std::optional<std::string>& label, const std::optional<std::string>& date);

}  // namespace kestrel::BatchDirectory
