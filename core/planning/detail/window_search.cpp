// SPDX-License-Identifier: MIT
#include "core/planning/detail/window_search.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>

namespace kestrel {

namespace {

// Score weights. The target height and headroom share ease off for a pair,
// which needs room beside it rather than above it.
constexpr double kSoloTargetHeight = 0.78;
constexpr double kSoloHeadroomShare = 0.68;
constexpr double kPairEasing = 0.04;       // times the pair strength
constexpr double kHorizontalWeight = 1.1;  // anchor away from the window's centre
constexpr double kHeightWeight = 2;        // subject height fraction away from the target
constexpr double kHeadroomWeight = 0.6;    // space above the subject away from its share
constexpr double kTrimCost = 0.12;         // per unit of trimmed fraction
constexpr double kPairWidthWeight = 0.8;   // times the pair strength
constexpr double kPairWidthLimit = 0.82;   // widest comfortable pair, fraction of the window
constexpr double kExclusionCost = 0.04;    // per bystander left out, times its relative area
constexpr double kMinimumGain = 0.012;     // a crop must beat the uncropped frame by more

// Window sizes go up in steps of 1 % trim. Beyond 100 steps the trim would
// remove the whole image, so no later step can yield a window.
constexpr double kTrimStep = 0.01;
constexpr double kMaximumSizeSteps = 100;
// A crop that removes under half a percent of the width is not worth making.
constexpr double kSmallestWorthwhileTrim = 0.005;
// In fixed mode the subject's centre sits this far down the window.
constexpr double kFixedSubjectDepth = 0.52;

// Tolerances: containment forgives rounding of pixel positions; "apart" is
// almost exact so that a window edge may touch a bystander but not cross it.
constexpr double kContainSlack = 1e-6;
constexpr double kApartSlack = 1e-9;
constexpr double kMaximumTrimSlack = 1e-7;

// n = max(1, ceil(trimLimit / 0.01)) in floating point: 0.07 / 0.01 is
// 7.000000000000001, so a limit of 0.07 gives 8 steps, the last repeating
// 0.07. A NaN limit gives a single step.
int sizeStepCount(double trimLimit) {
  const double steps = std::max(1.0, std::ceil(trimLimit / kTrimStep));
  return static_cast<int>(std::min(steps, kMaximumSizeSteps));
}

bool sizeAllowed(const WindowSearchInput& in, std::int64_t cw, std::int64_t ch) {
  const double w = static_cast<double>(in.imageWidth);
  // The first test only matters for a trim limit of 1 or more, whose last
  // steps would give empty or negative windows.
  return cw >= 1 && ch >= 1 && cw < in.imageWidth && ch < in.imageHeight &&
         std::max(cw, ch) >= in.minimumLongEdge && cw * ch >= in.pixelFloor &&
         1 - static_cast<double>(cw) / w <= in.maximumTrim + kMaximumTrimSlack &&
         // Checked once per size since it does not depend on the origin.
         !(static_cast<double>(in.imageWidth - cw) / w < kSmallestWorthwhileTrim);
}

// The window of normalized size s placed around the subject, display space.
Box idealWindow(const WindowSearchInput& in, const CompositionScore& scorer, double s) {
  const Box& subject = in.subject;
  // Automatic mode gives the subject its headroom share of the free vertical
  // space above it and the rest below; fixed mode centres it 52 % down.
  double y0 = in.fixed ? (subject.y + 0.5 * subject.height) - kFixedSubjectDepth * s
                       : subject.y - scorer.headroomShare() * std::max(s - subject.height, 0.0);
  double x0 = in.anchor - 0.5 * s;
  x0 = std::max(std::min(x0, 1 - s), 0.0);
  y0 = std::max(std::min(y0, 1 - s), 0.0);
  return {x0, y0, s, s};
}

// A window must hold each bystander whole or stay clear of it.
bool keepsWholeOrLeavesOut(const Box& window, const Box& bystander) {
  if (window.contains(bystander, kContainSlack)) return true;
  return window.maxX() <= bystander.x + kApartSlack || bystander.maxX() - kApartSlack <= window.x ||
         window.maxY() <= bystander.y + kApartSlack || bystander.maxY() - kApartSlack <= window.y;
}

// Cost of the bystanders a display window leaves out, relative to the subject's size.
double exclusionPenalty(const Box& window, const std::vector<Box>& bystanders, const Box& subject) {
  double penalty = 0;
  for (const Box& b : bystanders) {
    if (!window.contains(b, kContainSlack)) {
      penalty += kExclusionCost * (b.width * b.height) / (subject.width * subject.height);
    }
  }
  return penalty;
}

// Window edges on one axis that would land exactly on a bystander's edges:
// for each bystander its near edge and far edge, each as a window origin
// (window starts there) and as a window end (window stops there).
std::vector<double> bystanderBoundaries(const std::vector<Box>& rawBystanders, bool horizontal,
                                        double length, double crop) {
  std::vector<double> values;
  values.reserve(rawBystanders.size() * 4);
  for (const Box& b : rawBystanders) {
    const double nearEdge = (horizontal ? b.x : b.y) * length;
    const double farEdge = (horizontal ? b.maxX() : b.maxY()) * length;
    values.insert(values.end(), {nearEdge, nearEdge - crop, farEdge, farEdge - crop});
  }
  return values;
}

}  // namespace

double CompositionScore::targetHeight() const {
  return kSoloTargetHeight - kPairEasing * pairStrength;
}

double CompositionScore::headroomShare() const {
  return kSoloHeadroomShare - kPairEasing * pairStrength;
}

double CompositionScore::score(const Box& d) const {
  const double target = targetHeight();
  const double share = headroomShare();
  return -kHorizontalWeight * std::abs((anchor - d.x) / d.width - 0.5) -
         kHeightWeight * std::abs(subject.height / d.height - target) -
         kHeadroomWeight * std::abs((subject.y - d.y) / d.height -
                                    share * std::max(1 - subject.height / d.height, 0.0)) -
         kTrimCost * (1 - d.width) -
         kPairWidthWeight * pairStrength * std::max(subject.width / d.width - kPairWidthLimit, 0.0);
}

double CompositionScore::baseline() const {
  // For the whole frame every division by 1 and subtraction of 0 is exact and
  // the trim cost is 0, so this equals the baseline formula bit for bit.
  return score({0, 0, 1, 1});
}

std::vector<std::int64_t> alignedOrigins(double ideal, std::int64_t length, std::int64_t crop,
                                         std::int64_t block, std::optional<double> lower,
                                         std::optional<double> upper,
                                         const std::vector<double>& boundaries) {
  const double step = static_cast<double>(block);
  const double room = static_cast<double>(length - crop);
  const double lo = lower ? std::ceil((std::max(*lower, 0.0) - kContainSlack) / step) * step : 0;
  const double hi =
      std::floor(((upper ? std::min(*upper, room) : room) + kContainSlack) / step) * step;
  // No origin on this axis lets a window of this size hold the protected region.
  if (hi < lo) return {};

  const auto admissible = [&](double origin) {
    return static_cast<std::int64_t>(std::clamp(origin, lo, hi));
  };
  if (boundaries.empty()) {
    // std::round rounds halves away from zero.
    return {admissible(std::round(ideal / step) * step)};
  }
  std::set<std::int64_t> origins;
  const auto addBlocksAround = [&](double value) {
    origins.insert(admissible(std::floor(value / step) * step));
    origins.insert(admissible(std::ceil(value / step) * step));
  };
  addBlocksAround(ideal);
  for (const double value : boundaries) addBlocksAround(value);
  return {origins.begin(), origins.end()};
}

std::optional<CropWindow> bestCropWindow(const WindowSearchInput& in) {
  const std::int64_t width = in.imageWidth;
  const std::int64_t height = in.imageHeight;
  if (width <= 0 || height <= 0) return std::nullopt;
  const double w = static_cast<double>(width);
  const double h = static_cast<double>(height);

  // Every window is k × (aw, ah), so it has exactly the photo's aspect ratio.
  const std::int64_t g = std::gcd(width, height);
  const std::int64_t aw = width / g;
  const std::int64_t ah = height / g;

  const CompositionScore scorer{in.subject, in.anchor, in.pairStrength};
  const double base = scorer.baseline();

  // Alignment and cutting are judged on the stored pixels, composition upright.
  std::optional<Box> rawProtected;
  if (in.protectedRegion) {
    rawProtected = EXIFOrientation::displayToRaw(*in.protectedRegion, in.orientation);
  }
  std::vector<Box> rawBystanders;
  rawBystanders.reserve(in.bystanders.size());
  for (const Box& b : in.bystanders) {
    rawBystanders.push_back(EXIFOrientation::displayToRaw(b, in.orientation));
  }

  std::optional<CropWindow> best;
  double bestGain = kMinimumGain;
  const int steps = sizeStepCount(in.trimLimit);
  for (int i = 1; i <= steps; ++i) {
    const double f = std::min(i * kTrimStep, in.trimLimit);
    const auto k = static_cast<std::int64_t>(std::ceil((1 - f) * static_cast<double>(g)));
    const std::int64_t cw = k * aw;
    const std::int64_t ch = k * ah;
    if (!sizeAllowed(in, cw, ch)) continue;
    const double s = static_cast<double>(cw) / w;  // equals ch / H, in either space

    const Box ideal = EXIFOrientation::displayToRaw(idealWindow(in, scorer, s), in.orientation);
    const double cwd = static_cast<double>(cw);
    const double chd = static_cast<double>(ch);
    const std::vector<std::int64_t> xs =
        alignedOrigins(ideal.x * w, width, cw, in.mcuWidth,
                       rawProtected ? std::optional(rawProtected->maxX() * w - cwd) : std::nullopt,
                       rawProtected ? std::optional(rawProtected->x * w) : std::nullopt,
                       bystanderBoundaries(rawBystanders, true, w, cwd));
    const std::vector<std::int64_t> ys =
        alignedOrigins(ideal.y * h, height, ch, in.mcuHeight,
                       rawProtected ? std::optional(rawProtected->maxY() * h - chd) : std::nullopt,
                       rawProtected ? std::optional(rawProtected->y * h) : std::nullopt,
                       bystanderBoundaries(rawBystanders, false, h, chd));

    for (const std::int64_t x : xs) {
      for (const std::int64_t y : ys) {
        const Box c{static_cast<double>(x) / w, static_cast<double>(y) / h, cwd / w, chd / h};
        if (rawProtected && !c.contains(*rawProtected, kContainSlack)) continue;
        const bool cutsBystander =
            std::any_of(rawBystanders.begin(), rawBystanders.end(),
                        [&](const Box& b) { return !keepsWholeOrLeavesOut(c, b); });
        if (cutsBystander) continue;

        const Box d = EXIFOrientation::rawToDisplay(c, in.orientation);
        const double gain = scorer.score(d) - base - exclusionPenalty(d, in.bystanders, in.subject);
        // Fixed mode takes every candidate, so the largest passing trim wins;
        // otherwise only a strict improvement counts and the earliest stays.
        if (in.fixed || gain > bestGain) {
          best = CropWindow{x, y, cw, ch, gain};
          bestGain = gain;
        }
      }
    }
  }
  return best;
}

}  // namespace kestrel
