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

}  // namespace

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
