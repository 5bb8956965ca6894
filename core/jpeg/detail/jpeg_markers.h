// SPDX-License-Identifier: MIT
// Walking the marker segments of a JPEG's header part, bounds-checked.
#pragma once

#include <cstddef>

namespace kestrel::jpegmarkers {

// Calls visit(marker, payload, payloadLength) for each marker segment before
// the first scan, in file order; the walk stops early when visit returns
// false. The payload is what follows the two length bytes. Marker rules:
// the data starts with SOI (FF D8); FF fill bytes may precede a marker
// code; 01 and D0–D7 carry no length and are skipped; D9 (EOI) and DA (SOS)
// end the walk; a segment length includes its own two bytes and must lie
// inside the buffer, otherwise the walk stops. Nothing outside [jpeg,
// jpeg + n) is ever read, whatever the bytes say.
template <typename Byte, typename Visit>
void forEachSegment(Byte* jpeg, std::size_t n, Visit&& visit) {
  if (jpeg == nullptr || n < 6 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return;
  std::size_t pos = 2;
  while (pos + 4 <= n) {
    if (jpeg[pos] != 0xFF) return;
    std::size_t k = 1;  // length of the run of FF bytes
    while (pos + k < n && jpeg[pos + k] == 0xFF) ++k;
    if (pos + k >= n) return;
    const unsigned marker = jpeg[pos + k];
    if (marker == 0xD9 || marker == 0xDA) return;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += k + 1;
      continue;
    }
    const std::size_t rem = n - pos - k - 1;
    if (rem < 2) return;
    const std::size_t length = static_cast<std::size_t>(jpeg[pos + k + 1]) << 8 | jpeg[pos + k + 2];
    if (length < 2 || length > rem) return;
    if (!visit(marker, jpeg + pos + k + 3, length - 2)) return;
    pos += k + length + 1;
  }
}

}  // namespace kestrel::jpegmarkers
