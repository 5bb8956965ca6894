// SPDX-License-Identifier: MIT
// Focus measures of a grayscale patch.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/sharpness/sharpness_records.h"

namespace kestrel {

namespace {

constexpr std::int64_t kMinimumSide = 8;
constexpr double kGradientFloor = 0.000001;

}  // namespace

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
      smoothed(x, y) = (at(x - 1, y - 1) + 2 * at(x, y - 1) + at(x + 1, y - 1) + 2 * at(x - 1, y) +
                        4 * at(x, y) + 2 * at(x + 1, y) + at(x - 1, y + 1) + 2 * at(x, y + 1) +
                        at(x + 1, y + 1)) *
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
