// SPDX-License-Identifier: MIT
// The EXIF walker: finds the APP1 "Exif" segments of a JPEG, repairs their
// dimension fields after a crop and reads the Orientation tag. Every access
// is bounds-checked against the buffer, whatever its bytes claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel::exif {

// Writes `width` and `height` into ImageWidth/ImageLength (IFD0) and
// PixelXDimension/PixelYDimension (Exif sub-IFD) of every APP1 Exif segment
// before the first scan, and detaches IFD1 (the embedded thumbnail) from
// the IFD chain. A SHORT field is left as it was when the value does not
// fit in 16 bits. Returns how many dimension fields were found, written or
// not. A malformed segment ends the walk; what was fixed so far stays.
int repairDimensions(std::uint8_t* jpeg, std::size_t size, std::int64_t width, std::int64_t height);

// What libjpeg's transform tools (jpegtran, TurboJPEG) do to the Exif
// segment that opens a JPEG when they change its size: every
// PixelXDimension/PixelYDimension entry of the Exif sub-IFD becomes one LONG
// holding the new size; nothing else changes. `tiff` is the segment payload
// after "Exif\0\0". Bounds-checked like the rest of the walker.
void setPixelDimensionsAsTransformed(std::uint8_t* tiff, std::size_t length, std::uint32_t width,
                                     std::uint32_t height);

// The Orientation tag (0x0112, one SHORT in IFD0) of the first APP1 Exif
// segment that has one, not range-checked; nothing when absent.
std::optional<int> orientation(std::span<const std::uint8_t> jpeg);

// The payload of a minimal APP1 segment ("Exif\0\0" + a big-endian TIFF
// holding only IFD0 with the Orientation tag).
std::vector<std::uint8_t> orientationSegment(int orientation);

}  // namespace kestrel::exif
