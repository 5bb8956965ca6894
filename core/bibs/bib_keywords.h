// SPDX-License-Identifier: MIT
// Race numbers as keywords of a delivered photo (the only code that
// includes Exiv2).
#pragma once

#include <string>
#include <vector>

#include "core/base/bytes.h"

namespace kestrel {

// A copy of the JPEG `jpeg` whose metadata also lists each number as the
// keyword "bib:<number>", in XMP dc:subject and IPTC Keywords, beside any
// keywords it already has (a keyword present is not repeated). Only
// metadata segments change: the image data and every other segment stay
// byte for byte as they were. Throws CropError when the metadata cannot be
// written.
Bytes withBibKeywords(const Bytes& jpeg, const std::vector<std::string>& numbers);

// "bib:951"
std::string bibKeyword(const std::string& number);

}  // namespace kestrel
