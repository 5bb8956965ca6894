// SPDX-License-Identifier: MIT
#include "core/base/text.h"

#include <utf8proc.h>

#include <charconv>

namespace kestrel {

std::string decimalText(double value, int digits) {
  char buffer[400];  // the longest double in fixed notation fits with room to spare
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
  return std::string(buffer, result.ptr);
}

std::u32string decodeUTF8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t length =
        utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &c);
    if (length > 0) {
      out += static_cast<char32_t>(c);
      i += static_cast<std::size_t>(length);
    } else {
      out += U'\uFFFD';
      i += 1;
    }
  }
  return out;
}

std::string encodeUTF8(std::u32string_view codePoints) {
  std::string out;
  out.reserve(codePoints.size());
  for (const char32_t c : codePoints) {
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
  }
  return out;
}

std::string validUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t i = 0;
  utf8proc_int32_t c = 0;
  while (i < text.size()) {
    const utf8proc_ssize_t length =
        utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &c);
    if (length <= 0) return encodeUTF8(decodeUTF8(text));
    i += static_cast<std::size_t>(length);
  }
  return std::string(text);
}

}  // namespace kestrel
