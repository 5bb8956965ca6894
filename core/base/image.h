// SPDX-License-Identifier: MIT
// Decoded pictures: RGBImage (analysis thumbnails, previews) and GrayPatch
// (grayscale regions decoded for focus measurement), and the area averaging
// that shrinks RGB pictures for analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/bytes.h"

namespace kestrel {

// Rows top to bottom, pixels interleaved R, G, B; row stride width × 3,
// no padding. A valid image has width, height ≥ 1 and
// pixels.size() == width × height × 3.
struct RGBImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  bool valid() const {
    return width >= 1 && height >= 1 &&
           pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
  }
  bool operator==(const RGBImage&) const = default;
};

// An 8-bit grayscale image: width × height bytes, rows top to bottom, no padding.
struct GrayPatch {
  std::int64_t width = 0;
  std::int64_t height = 0;
  Bytes pixels;

  // A copy whose shorter side is at most `shortEdge` pixels, area-averaged;
  // never enlarged. Throws CropError.
  GrayPatch normalized(std::int64_t shortEdge) const;
};

// Area averaging (a box filter with exact fractional coverage) of
// interleaved RGB from a source size to a smaller or equal target size,
// fed one source row at a time so that the source is never needed whole
// (the thumbnail is resampled while it is decoded). Every target value is
// the exactly weighted integer sum of the source values it covers, divided
// by the area and rounded half up.
class AreaResampler {
 public:
  // Target rows are written to `out`, `outStride` bytes apart.
  AreaResampler(int srcWidth, int srcHeight, int dstWidth, int dstHeight, std::uint8_t* out,
                std::size_t outStride);
  // The next source row, srcWidth × 3 bytes.
  void addRow(const std::uint8_t* rgb);

 private:
  struct Span {
    std::uint32_t firstColumn;  // the first source column of a target column
    std::uint32_t firstWeight;  // where its weights start in weights_
  };
  void finishRow();
  std::uint8_t rounded(std::uint64_t sum) const;

  int srcHeight_, dstWidth_, dstHeight_;
  std::uint8_t* out_;
  std::size_t outStride_;
  std::vector<Span> spans_;  // one per target column, and one past the end
  std::vector<std::uint32_t> weights_;
  std::vector<std::uint32_t> current_, next_;  // column sums of this and the next target row
  std::uint64_t area_;                         // the divisor: srcWidth × srcHeight
  std::uint64_t multiplier_ = 0;               // area_'s reciprocal, see rounded()
  int shift_ = 0;
  int row_ = 0;
  int target_ = 0;
};

// The `width` × `height` rectangle at `source` (rows `sourceStride` bytes
// apart) shrunk by area averaging to `dstWidth` × `dstHeight` at `out`.
void shrinkByArea(const std::uint8_t* source, std::size_t sourceStride, int width, int height,
                  std::uint8_t* out, std::size_t outStride, int dstWidth, int dstHeight);

}  // namespace kestrel
