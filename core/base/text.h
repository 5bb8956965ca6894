// SPDX-License-Identifier: MIT
// Text helpers: numbers written the same whatever the process locale, and
// UTF-8 that is valid even when it comes from a Linux file name.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// `value` with exactly `digits` decimals and "." as the separator, like
// printf's "%.Nf" in the C locale. Never depends on setlocale, which a
// toolkit may call (and which would turn "2.1" into "2,1").
std::string decimalText(double value, int digits);

// The code points of `text`. Each byte that does not begin a well-formed
// UTF-8 sequence (overlong forms, surrogates and values past U+10FFFF
// included) becomes one U+FFFD.
std::u32string decodeUTF8(std::string_view text);
std::string encodeUTF8(std::u32string_view codePoints);

// `text` with every malformed byte replaced as decodeUTF8 does. Every text
// Kestrel writes for people (reports, the JSON summary, the CSV table)
// passes through this, so all of them show a file name alike.
std::string validUTF8(std::string_view text);

}  // namespace kestrel
