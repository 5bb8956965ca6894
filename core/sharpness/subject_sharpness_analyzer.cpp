// SPDX-License-Identifier: MIT
#include "core/sharpness/subject_sharpness_analyzer.h"

#include <algorithm>
#include <cmath>

#include "core/jpeg/jpeg_engine.h"

namespace kestrel {

namespace {

constexpr double kMinimumCandidateHeight = 0.2;
constexpr double kCompanionShare = 0.35;
constexpr std::size_t kCompanionsAssessed = 2;
constexpr std::size_t kCompanionsForGroupBlur = 3;
constexpr double kFaceBand = 0.42;
constexpr double kMinimumFaceScore = 0.5;
constexpr double kFaceTolerance = 0.03;
constexpr std::int64_t kMinimumRegionSide = 80;
constexpr std::int64_t kPatchShortEdge = 160;
constexpr std::int64_t kMinimumPatchSide = 80;

namespace reasons {
constexpr std::string_view sharp = "主体局部细节通过清晰度检查";
constexpr std::string_view softFace = "主体细节略软，限制裁剪幅度";
constexpr std::string_view softUpperBody = "未定位到可靠人脸，按上半身细节保守处理";
constexpr std::string_view blurred = "主体细节的高频与边缘响应均偏低，疑似明显失焦或运动模糊";
constexpr std::string_view lowTexture = "主体纹理或对比度不足，不以低分直接判定失焦";
constexpr std::string_view regionTooSmall = "主体细节像素不足，无法可靠判焦";
constexpr std::string_view noSubject = "没有可靠主体，清晰度需要人工复核";
constexpr std::string_view otherRunnerChosen = "；选择另一位清晰跑者作为主体";
constexpr std::string_view allBlurred = "所有可评估的主要跑者均明显模糊，单独过滤存放";
constexpr std::string_view undecided = "无法确认存在清晰的主要跑者，保留副本待复核";
}  // namespace reasons

// Index of the assessment with `verdict` and the largest Laplacian variance;
// the earliest wins ties.
std::optional<std::size_t> best(const std::vector<SharpnessAssessment>& list,
                                SharpnessVerdict verdict) {
  std::optional<std::size_t> chosen;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].verdict != verdict) continue;
    if (!chosen || list[i].metrics.laplacianVariance > list[*chosen].metrics.laplacianVariance)
      chosen = i;
  }
  return chosen;
}

}  // namespace

SubjectSharpnessAnalyzer::SubjectSharpnessAnalyzer(std::unique_ptr<FaceFinder> faceFinder)
    : faceFinder_(std::move(faceFinder)) {}

void SubjectSharpnessAnalyzer::warmup(const RGBImage& image) {
  faceFinder_->faces(image, Box{0, 0, 1, 1});
}

SharpnessAssessment SubjectSharpnessAnalyzer::classify(const FocusMetrics& m, std::string_view kind,
                                                       const std::optional<Box>& region,
                                                       std::int64_t width, std::int64_t height) {
  SharpnessAssessment a;
  a.regionKind = std::string(kind);
  a.region = region;
  a.metrics = m;
  a.sampleWidth = width;
  a.sampleHeight = height;

  const bool face = kind == RegionKind::face;
  if (std::min(width, height) < kMinimumPatchSide || m.contrast < 6.0 || m.gradientEnergy < 1.0) {
    // Too little texture to tell blur from a plain surface.
    a.verdict = SharpnessVerdict::review;
    a.reason = reasons::lowTexture;
  } else if (m.laplacianVariance < 3.0 && m.gradientEnergy < 15.0) {
    a.verdict = SharpnessVerdict::blurred;
    a.reason = reasons::blurred;
  } else if (m.laplacianVariance >= 9.0 && m.highFrequencyRatio >= 0.16 && face) {
    a.verdict = SharpnessVerdict::sharp;
    a.reason = reasons::sharp;
  } else {
    // Without a face the best outcome is soft: the crop stays conservative.
    a.verdict = SharpnessVerdict::soft;
    a.reason = face ? reasons::softFace : reasons::softUpperBody;
  }
  return a;
}

SharpnessAssessment SubjectSharpnessAnalyzer::assessRunners(
    const std::vector<Person>& people, double confidence,
    const std::function<SharpnessAssessment(const Person&)>& assessSubject) {
  std::vector<Person> ranked;
  for (const Person& p : people) {
    if (p.confidence >= confidence && p.box.height >= kMinimumCandidateHeight) ranked.push_back(p);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const Person& a, const Person& b) { return a.box.area() > b.box.area(); });
  if (ranked.empty()) return SharpnessAssessment::review(std::string(reasons::noSubject));

  SharpnessAssessment first = assessSubject(ranked.front());
  if (first.verdict == SharpnessVerdict::sharp) return first;

  std::vector<Person> companions;
  for (std::size_t i = 1; i < ranked.size(); ++i) {
    if (ranked[i].box.area() >= kCompanionShare * ranked.front().box.area()) {
      companions.push_back(ranked[i]);
    }
  }
  std::vector<SharpnessAssessment> list{first};
  for (std::size_t i = 0; i < companions.size() && i < kCompanionsAssessed; ++i) {
    list.push_back(assessSubject(companions[i]));
  }

  if (const auto sharp = best(list, SharpnessVerdict::sharp)) {
    SharpnessAssessment chosen = list[*sharp];
    chosen.reason += reasons::otherRunnerChosen;
    std::vector<Box> unsuitable;
    for (const SharpnessAssessment& a : list) {
      if (a.verdict != SharpnessVerdict::sharp && a.subject) unsuitable.push_back(*a.subject);
    }
    chosen.unsuitableForComposition = std::move(unsuitable);
    return chosen;
  }
  if (const auto soft = best(list, SharpnessVerdict::soft)) {
    SharpnessAssessment chosen = list[*soft];
    std::vector<Box> unsuitable;
    for (const SharpnessAssessment& a : list) {
      if (a.subject && a.subject != chosen.subject) unsuitable.push_back(*a.subject);
    }
    chosen.unsuitableForComposition = std::move(unsuitable);
    return chosen;
  }
  const bool allBlurred = std::all_of(list.begin(), list.end(), [](const SharpnessAssessment& a) {
    return a.verdict == SharpnessVerdict::blurred;
  });
  if (allBlurred && companions.size() < kCompanionsForGroupBlur) {
    first.reason = reasons::allBlurred;
    return first;
  }
  first.verdict = SharpnessVerdict::review;
  first.reason = reasons::undecided;
  return first;
}

Box SubjectSharpnessAnalyzer::faceSearchBand(const Box& p) {
  return Box{p.x, p.y, p.width, kFaceBand * p.height}.clipped();
}

SubjectSharpnessAnalyzer::Region SubjectSharpnessAnalyzer::measuredRegion(
    const Box& p, const std::vector<Detection>& faces) {
  std::optional<Box> face;
  for (const Detection& f : faces) {
    if (!(f.confidence >= kMinimumFaceScore)) continue;
    const Box& b = f.box;
    const bool inside = b.x >= p.x - kFaceTolerance && b.y >= p.y - kFaceTolerance &&
                        b.maxX() <= p.maxX() + kFaceTolerance &&
                        b.maxY() <= p.maxY() + kFaceTolerance;
    if (inside && (!face || b.area() > face->area())) face = b;
  }
  if (face) {
    const Box& f = *face;
    return {
        RegionKind::face,
        Box{f.x + 0.08 * f.width, f.y + 0.06 * f.height, 0.84 * f.width, 0.88 * f.height}.clipped(),
        face};
  }
  return {
      RegionKind::upperBody,
      Box{p.x + 0.32 * p.width, p.y + 0.18 * p.height, 0.36 * p.width, 0.22 * p.height}.clipped(),
      std::nullopt};
}

PixelRect SubjectSharpnessAnalyzer::rawRectangle(const Box& region, int orientation,
                                                 std::int64_t width, std::int64_t height) {
  const Box r = EXIFOrientation::displayToRaw(region, orientation);
  const auto W = static_cast<double>(width);
  const auto H = static_cast<double>(height);
  const auto x0 = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::floor(r.x * W)));
  const auto y0 = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::floor(r.y * H)));
  const auto w = std::min(static_cast<std::int64_t>(std::ceil(r.width * W)), width - x0);
  const auto h = std::min(static_cast<std::int64_t>(std::ceil(r.height * H)), height - y0);
  return PixelRect{x0, y0, w, h};
}

SharpnessAssessment SubjectSharpnessAnalyzer::assessSubject(const Person& person, const Bytes& data,
                                                            const JPEGInfo& info, int orientation,
                                                            const RGBImage& image,
                                                            JPEGEngine& jpeg) {
  const Box& p = person.box;
  const Region region = measuredRegion(p, faceFinder_->faces(image, faceSearchBand(p)));
  const PixelRect rect = rawRectangle(region.box, orientation, info.width, info.height);
  if (std::min(rect.width, rect.height) < kMinimumRegionSide) {
    return SharpnessAssessment::review(std::string(reasons::regionTooSmall));
  }
  const GrayPatch patch = jpeg.grayscaleROI(data, rect).normalized(kPatchShortEdge);
  SharpnessAssessment a =
      classify(FocusMetrics::measure(patch), region.kind, region.box, patch.width, patch.height);
  a.subject = p;
  a.face = region.face;
  return a;
}

SharpnessAssessment SubjectSharpnessAnalyzer::assess(const Bytes& data, const JPEGInfo& info,
                                                     int orientation, const RGBImage& image,
                                                     const std::vector<Person>& people,
                                                     JPEGEngine& jpeg, double confidence) {
  return assessRunners(people, confidence, [&](const Person& person) {
    return assessSubject(person, data, info, orientation, image, jpeg);
  });
}

}  // namespace kestrel
