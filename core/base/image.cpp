// SPDX-License-Identifier: MIT
#include "core/base/image.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/base/crop_error.h"

namespace kestrel {

namespace {

// Area-averaging weights of one axis: output sample i covers the source
// interval [i·s, (i+1)·s) with s = source / target, each source sample
// weighted by how much of it lies inside.
struct AreaWeights {
  std::vector<std::int64_t> first;  // first source index per output sample
  std::vector<std::vector<double>> weights;
};

AreaWeights areaWeights(std::int64_t source, std::int64_t target) {
  AreaWeights w;
  const double scale = static_cast<double>(source) / static_cast<double>(target);
  for (std::int64_t i = 0; i < target; ++i) {
    const double begin = static_cast<double>(i) * scale;
    const double end = std::min(static_cast<double>(i + 1) * scale, static_cast<double>(source));
    const auto firstIndex = static_cast<std::int64_t>(std::floor(begin));
    std::vector<double> weights;
    for (std::int64_t k = firstIndex; static_cast<double>(k) < end && k < source; ++k) {
      const double lo = std::max(begin, static_cast<double>(k));
      const double hi = std::min(end, static_cast<double>(k + 1));
      weights.push_back((hi - lo) / (end - begin));
    }
    w.first.push_back(firstIndex);
    w.weights.push_back(std::move(weights));
  }
  return w;
}

// sums[i] += values[i] × weight. Built for AVX2 as well (chosen at run time
// where the processor has it): it runs over every source row, and AVX2
// multiplies eight 32-bit lanes at a time.
__attribute__((target_clones("avx2", "default"))) void addWeighted(std::uint32_t* sums,
                                                                   const std::uint8_t* values,
                                                                   std::size_t count,
                                                                   std::uint32_t weight) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += values[i] * weight;
}

__extension__ using Wide = unsigned __int128;

}  // namespace

// In integer units where a source pixel is `dst` long and a target pixel
// `src` long, each source column or row overlaps at most two target ones,
// and a target pixel's weights add up to srcWidth × srcHeight. Rows are
// summed first: each source row is added, weighted, into the column sums of
// the one or two target rows it overlaps (straight-line, vectorised work),
// and a target row's columns are combined once, when it is complete. A
// column sum is at most 255 × srcHeight and fits 32 bits; the sums are exact
// integers, so the order changes nothing in the result.
AreaResampler::AreaResampler(int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                             std::uint8_t* out, std::size_t outStride)
    : srcHeight_(srcHeight),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      out_(out),
      outStride_(outStride),
      current_(std::size_t(srcWidth) * 3),
      next_(current_.size()),
      area_(std::uint64_t(srcWidth) * std::uint64_t(srcHeight)) {
  // Source column sx covers [sx·dst, (sx+1)·dst); target column t covers
  // [t·src, (t+1)·src). Each target column takes a contiguous run of source
  // columns, the first and last of them possibly in part.
  std::int64_t sx = 0;
  for (std::int64_t t = 0; t < dstWidth; ++t) {
    const std::int64_t begin = t * srcWidth, end = begin + srcWidth;
    while ((sx + 1) * dstWidth <= begin) ++sx;
    spans_.push_back({static_cast<std::uint32_t>(sx), static_cast<std::uint32_t>(weights_.size())});
    for (std::int64_t s = sx; s < srcWidth && s * dstWidth < end; ++s) {
      const std::int64_t overlap =
          std::min(end, (s + 1) * dstWidth) - std::max(begin, s * dstWidth);
      weights_.push_back(static_cast<std::uint32_t>(overlap));
    }
  }
  spans_.push_back({0, static_cast<std::uint32_t>(weights_.size())});
  // Division by the constant area through a multiplication (Granlund and
  // Montgomery): with L = ⌈log2 d⌉ and m = ⌊2^(N+L) / d⌋ + 1,
  // ⌊n / d⌋ = ⌊n·m / 2^(N+L)⌋ for every n < 2^N. N = 48 covers every sum
  // (at most 256 × d, with d below 2^40 for any JPEG).
  constexpr int kNumeratorBits = 48;
  int bits = 0;
  while ((std::uint64_t{1} << bits) < area_) ++bits;
  shift_ = kNumeratorBits + bits;
  multiplier_ = static_cast<std::uint64_t>((Wide{1} << shift_) / area_) + 1;
}

void AreaResampler::addRow(const std::uint8_t* rgb) {
  const std::int64_t begin = std::int64_t{row_} * dstHeight_;
  const std::int64_t end = begin + dstHeight_;
  const std::int64_t boundary = (std::int64_t{target_} + 1) * srcHeight_;
  const auto first = static_cast<std::uint32_t>(std::min(end, boundary) - begin);
  addWeighted(current_.data(), rgb, current_.size(), first);
  if (end >= boundary) {
    finishRow();
    std::swap(current_, next_);
    std::fill(next_.begin(), next_.end(), 0u);
    if (end > boundary) {
      addWeighted(current_.data(), rgb, current_.size(),
                  static_cast<std::uint32_t>(end - boundary));
    }
  }
  ++row_;
}

std::uint8_t AreaResampler::rounded(std::uint64_t sum) const {
  const std::uint64_t n = sum + area_ / 2;
  return static_cast<std::uint8_t>((Wide{n} * multiplier_) >> shift_);
}

void AreaResampler::finishRow() {
  if (target_ >= dstHeight_) return;
  std::uint8_t* row = out_ + std::size_t(target_) * outStride_;
  for (int t = 0; t < dstWidth_; ++t, row += 3) {
    const std::uint32_t* column = current_.data() + 3 * std::size_t(spans_[t].firstColumn);
    const std::uint32_t* w = weights_.data() + spans_[t].firstWeight;
    const std::uint32_t* last = weights_.data() + spans_[t + 1].firstWeight;
    std::uint64_t r = 0, g = 0, b = 0;
    for (; w != last; ++w, column += 3) {
      r += std::uint64_t{column[0]} * *w;
      g += std::uint64_t{column[1]} * *w;
      b += std::uint64_t{column[2]} * *w;
    }
    row[0] = rounded(r);
    row[1] = rounded(g);
    row[2] = rounded(b);
  }
  ++target_;
}

void shrinkByArea(const std::uint8_t* source, std::size_t sourceStride, int width, int height,
                  std::uint8_t* out, std::size_t outStride, int dstWidth, int dstHeight) {
  AreaResampler resampler(width, height, dstWidth, dstHeight, out, outStride);
  for (int y = 0; y < height; ++y) resampler.addRow(source + std::size_t(y) * sourceStride);
}

GrayPatch GrayPatch::normalized(std::int64_t shortEdge) const {
  if (width < 1 || height < 1 || pixels.size() != static_cast<std::size_t>(width * height)) {
    throw CropError("无法创建主体灰度图");
  }
  const double scale =
      std::min(static_cast<double>(shortEdge) / static_cast<double>(std::min(width, height)), 1.0);
  const auto targetWidth =
      std::max<std::int64_t>(1, std::llround(scale * static_cast<double>(width)));
  const auto targetHeight =
      std::max<std::int64_t>(1, std::llround(scale * static_cast<double>(height)));
  if (targetWidth == width && targetHeight == height) return *this;

  // Separable area averaging: rows first into a float buffer, then columns.
  const AreaWeights horizontal = areaWeights(width, targetWidth);
  const AreaWeights vertical = areaWeights(height, targetHeight);
  const std::uint8_t* source = pixels.data();
  std::vector<double> rows(static_cast<std::size_t>(targetWidth * height));
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* row = source + y * width;
    for (std::int64_t x = 0; x < targetWidth; ++x) {
      double sum = 0;
      const auto& weights = horizontal.weights[static_cast<std::size_t>(x)];
      const std::int64_t first = horizontal.first[static_cast<std::size_t>(x)];
      for (std::size_t k = 0; k < weights.size(); ++k) {
        sum += weights[k] * row[first + static_cast<std::int64_t>(k)];
      }
      rows[static_cast<std::size_t>(y * targetWidth + x)] = sum;
    }
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(targetWidth * targetHeight));
  for (std::int64_t y = 0; y < targetHeight; ++y) {
    const auto& weights = vertical.weights[static_cast<std::size_t>(y)];
    const std::int64_t first = vertical.first[static_cast<std::size_t>(y)];
    for (std::int64_t x = 0; x < targetWidth; ++x) {
      double sum = 0;
      for (std::size_t k = 0; k < weights.size(); ++k) {
        sum += weights[k] * rows[static_cast<std::size_t>(
                                (first + static_cast<std::int64_t>(k)) * targetWidth + x)];
      }
      out[static_cast<std::size_t>(y * targetWidth + x)] =
          static_cast<std::uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
    }
  }
  return GrayPatch{targetWidth, targetHeight, Bytes(std::move(out))};
}

}  // namespace kestrel
