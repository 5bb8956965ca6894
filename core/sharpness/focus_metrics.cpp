// SPDX-License-Identifier: MIT
// Focus measures of a grayscale patch and its normalization to a short edge.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/batch/crop_error.h"
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

namespace {

constexpr std::int64_t kMinimumSide = 8;
constexpr double kGradientFloor = 0.000001;

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
  const double scale = std::min(static_cast<double>(shortEdge) /
                                    static_cast<double>(std::min(width, height)),
                                1.0);
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

FocusMetrics FocusMetrics::measure(const GrayPatch& patch) {
  const std::int64_t w = patch.width;
  const std::int64_t h = patch.height;
  if (w < kMinimumSide || h < kMinimumSide) return {};
  if (patch.pixels.size() != static_cast<std::size_t>(w * h)) return {};

  const std::uint8_t* p = patch.pixels.data();
  auto at = [&](std::int64_t x, std::int64_t y) { return static_cast<double>(p[y * w + x]); };

  // Light 1-2-1 smoothing; the outermost ring stays 0 and is never read.
  std::vector<double> b(static_cast<std::size_t>(w * h), 0.0);
  auto smoothed = [&](std::int64_t x, std::int64_t y) -> double& {
    return b[static_cast<std::size_t>(y * w + x)];
  };
  for (std::int64_t y = 1; y <= h - 2; ++y) {
    for (std::int64_t x = 1; x <= w - 2; ++x) {
      smoothed(x, y) = (at(x - 1, y - 1) + 2 * at(x, y - 1) + at(x + 1, y - 1) +
                        2 * at(x - 1, y) + 4 * at(x, y) + 2 * at(x + 1, y) + at(x - 1, y + 1) +
                        2 * at(x, y + 1) + at(x + 1, y + 1)) *
                       0.0625;
    }
  }

  // Pixels within 2 of an edge are not measurement centres.
  double s = 0, s2 = 0, sl = 0, sl2 = 0, sg = 0, n = 0;
  for (std::int64_t y = 2; y <= h - 3; ++y) {
    for (std::int64_t x = 2; x <= w - 3; ++x) {
      const double c = smoothed(x, y);
      const double laplacian =
          smoothed(x - 1, y) + smoothed(x + 1, y) + smoothed(x, y - 1) + smoothed(x, y + 1) - 4 * c;
      const double gx = (smoothed(x + 1, y) - smoothed(x - 1, y)) * 0.5;
      const double gy = (smoothed(x, y + 1) - smoothed(x, y - 1)) * 0.5;
      s += c;
      s2 += c * c;
      sl += laplacian;
      sl2 += laplacian * laplacian;
      sg += gx * gx + gy * gy;
      n += 1;
    }
  }

  FocusMetrics m;
  m.laplacianVariance = std::max(sl2 / n - (sl / n) * (sl / n), 0.0);
  m.gradientEnergy = sg / n;
  m.highFrequencyRatio = m.laplacianVariance / std::max(m.gradientEnergy, kGradientFloor);
  m.contrast = std::sqrt(std::max(s2 / n - (s / n) * (s / n), 0.0));
  return m;
}

}  // namespace kestrel
