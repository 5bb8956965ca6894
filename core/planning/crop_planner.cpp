// SPDX-License-Identifier: MIT
#include "core/planning/crop_planner.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>
#include <variant>

#include "core/planning/detail/window_search.h"

namespace kestrel {

namespace {

// Basic filter: detections too doubtful or too small to reason about.
constexpr double kLowestConfidence = 0.25;
constexpr double kSmallestHeight = 0.1;
constexpr double kSmallestArea = 0.006;

// Subject gates: a small runner belongs to the scene, a crowd needs the whole
// frame, and a runner that already fills the height has no room to lose.
constexpr double kSmallSubjectHeight = 0.2;
constexpr std::size_t kCrowdSize = 4;
constexpr double kFullSubjectHeight = 0.88;

// A face pulls the anchor only when it sits inside the body, in its upper
// part, and is plausibly sized; the pull is 0.6 × at most 15 % of the body width.
constexpr double kFaceInsideSlack = 0.015;
constexpr double kFaceUpperShare = 0.42;
constexpr double kLargestFaceShare = 0.3;
constexpr double kFaceOffsetLimit = 0.15;
constexpr double kFacePull = 0.6;

// A pair partner is a reliable runner of similar size beside the subject,
// level with it and with feet on the same line.
constexpr double kPartnerAreaShare = 0.55;
constexpr double kPartnerHeightRatio = 0.8;
constexpr double kPartnerSideBySide = 0.45;
constexpr double kPartnerLevel = 0.25;
constexpr double kPartnerFeetLevel = 0.1;
// Pair strength rises smoothly from area ratio 0.55 to 0.8.
constexpr double kPairRatioStart = 0.55;
constexpr double kPairRatioScale = 4;
constexpr double kPairSceneStrength = 0.5;
constexpr double kPartnerAnchorPull = 0.5;

// Margins kept around every person so a crop never grazes a limb.
constexpr double kMarginShareX = 0.06;
constexpr double kSmallestMarginX = 0.01;
constexpr double kMarginShareY = 0.04;
constexpr double kSmallestMarginY = 0.012;
// People this large relative to the subject must stay whole in the picture.
constexpr double kSignificantAreaShare = 0.35;
constexpr double kSignificantHeightShare = 0.65;

// A slightly soft subject is cropped conservatively and only from large photos.
constexpr double kSoftTrimLimit = 0.08;
constexpr std::int64_t kSoftPixelFloor = 20'000'000;

// The benchmark crop in fixed mode frames a notional centred subject.
constexpr Box kFixedSubject{0.4, 0.3, 0.2, 0.4};

// What the window search is to frame, worked out from the people.
struct Composition {
  Box subject;  // after blending towards a partner
  double anchor = 0.5;
  double pairStrength = 0;
  std::optional<Box> protectedRegion;
  std::vector<Box> bystanders;
};

// Why the people rule out a crop, with the region that was protected when
// one was (the edge gate reports it).
struct Refusal {
  std::string_view reason;
  std::optional<Box> protectedRegion;
};

CropDecision keepWhole(const std::vector<Person>& people, std::string reason,
                       std::optional<Box> protectedRegion = std::nullopt) {
  CropDecision decision;
  decision.reason = std::move(reason);
  decision.people = people;
  decision.protectedRegion = protectedRegion;
  return decision;
}

bool isSoft(const std::optional<SharpnessAssessment>& sharpness) {
  return sharpness && sharpness->verdict == SharpnessVerdict::soft;
}

// Gates on the photo and the planner's limits, before anyone is looked at.
std::optional<std::string> photoGateReason(const CropPlanner& planner, const JPEGInfo& info,
                                           const std::optional<SharpnessAssessment>& sharpness) {
  if (planner.maximumTrim <= 0) return std::string(CropReason::zeroTrim);
  switch (planner.screen(info, sharpness)) {
    case Screening::pass:
      break;
    case Screening::tooFewPixels:
      return std::string(CropReason::tooFewPixels);
    case Screening::blurred:
    case Screening::review:
      return sharpness->reason;
  }
  if (planner.minimumLongEdge >= std::max(info.width, info.height)) {
    return std::string(CropReason::resolutionFloor);
  }
  return std::nullopt;
}

std::vector<Person> basicFilter(const std::vector<Person>& people, double confidenceThreshold) {
  const double lowest = std::min(confidenceThreshold, kLowestConfidence);
  std::vector<Person> filtered;
  std::copy_if(people.begin(), people.end(), std::back_inserter(filtered), [&](const Person& p) {
    return p.confidence >= lowest && p.box.height >= kSmallestHeight &&
           p.box.area() >= kSmallestArea;
  });
  return filtered;
}

// The reliable person with the largest box; the earlier one on equal areas.
const Person* primaryPerson(const std::vector<Person>& filtered, double confidenceThreshold) {
  const Person* primary = nullptr;
  for (const Person& p : filtered) {
    if (p.confidence < confidenceThreshold) continue;
    if (!primary || p.box.area() > primary->box.area()) primary = &p;
  }
  return primary;
}

std::optional<std::string_view> subjectGateReason(const Person* primary,
                                                  std::size_t filteredCount) {
  if (!primary) return CropReason::noReliablePerson;
  if (primary->box.height < kSmallSubjectHeight) return CropReason::smallPerson;
  if (filteredCount >= kCrowdSize) return CropReason::crowd;
  if (primary->box.height >= kFullSubjectHeight) return CropReason::fullFrame;
  return std::nullopt;
}

std::optional<Box> faceOf(const std::optional<SharpnessAssessment>& sharpness) {
  if (!sharpness) return std::nullopt;
  if (sharpness->face) return sharpness->face;
  if (sharpness->regionKind == RegionKind::face) return sharpness->region;
  return std::nullopt;
}

// A face pulls the anchor only from inside the body's upper part and at a
// plausible size.
bool usableFace(const Box& body, const Box& face) {
  return body.contains(face, kFaceInsideSlack) && face.width > 0 && face.height > 0 &&
         face.centerY() <= body.y + kFaceUpperShare * body.height &&
         face.height <= kLargestFaceShare * body.height;
}

// min(max(value, lo), hi); unlike std::clamp it stays defined if lo > hi.
double clampBetween(double value, double lo, double hi) {
  return std::min(std::max(value, lo), hi);
}

bool isPartnerCandidate(const Person& p, const Box& subject, double confidenceThreshold,
                        const std::optional<SharpnessAssessment>& sharpness) {
  const Box& b = p.box;
  const double widest = std::max(b.width, subject.width);
  const double tallest = std::max(b.height, subject.height);
  if (p.confidence < confidenceThreshold || b == subject) return false;
  if (b.area() < kPartnerAreaShare * subject.area()) return false;
  if (b.height < kPartnerHeightRatio * subject.height ||
      b.height > subject.height / kPartnerHeightRatio) {
    return false;
  }
  if (std::abs(b.centerX() - subject.centerX()) < kPartnerSideBySide * widest) return false;
  if (std::abs(b.centerY() - subject.centerY()) > kPartnerLevel * tallest) return false;
  if (std::abs(b.maxY() - subject.maxY()) > kPartnerFeetLevel * tallest) return false;
  // The analyzer rules out runners it judged unfit to share the picture.
  if (sharpness && sharpness->unsuitableForComposition) {
    const std::vector<Box>& excluded = *sharpness->unsuitableForComposition;
    if (std::find(excluded.begin(), excluded.end(), b) != excluded.end()) return false;
  }
  return true;
}

// The one runner that pairs with the subject; with several candidates the
// picture is a group, not a pair, and there is none.
std::optional<Person> pairPartner(const std::vector<Person>& filtered, const Box& subject,
                                  double confidenceThreshold,
                                  const std::optional<SharpnessAssessment>& sharpness) {
  std::optional<Person> partner;
  for (const Person& p : filtered) {
    if (!isPartnerCandidate(p, subject, confidenceThreshold, sharpness)) continue;
    if (partner) return std::nullopt;
    partner = p;
  }
  return partner;
}

// Smooth step from 0 at an area ratio of 0.55 to 1 at 0.8.
double pairStrength(const Box& subject, const Box& partner) {
  const double ratio =
      std::min(subject.area(), partner.area()) / std::max(subject.area(), partner.area());
  const double u = clampBetween((ratio - kPairRatioStart) * kPairRatioScale, 0, 1);
  return u * u * (3 - 2 * u);
}

struct PeopleRegions {
  std::optional<Box> protectedRegion;
  std::vector<Box> bystanders;
};

// Significant people (large relative to the subject) are protected whole with
// their margins; the others are bystanders a crop may leave out but not cut.
PeopleRegions peopleRegions(const std::vector<Person>& filtered, const Box& subject) {
  PeopleRegions regions;
  for (const Person& p : filtered) {
    const Box& b = p.box;
    const double px = std::max(kMarginShareX * b.width, kSmallestMarginX);
    const double py = std::max(kMarginShareY * b.height, kSmallestMarginY);
    const Box padded = b.padded(px, py);
    const bool significant = b.area() >= kSignificantAreaShare * (subject.width * subject.height) ||
                             b.height >= kSignificantHeightShare * subject.height;
    if (!significant) {
      regions.bystanders.push_back(padded.clipped());
    } else if (regions.protectedRegion) {
      regions.protectedRegion = regions.protectedRegion->unionWith(padded);
    } else {
      regions.protectedRegion = padded;
    }
  }
  return regions;
}

// Each of the box's fields moved the fraction `amount` of the way to `target`'s.
Box blendedTowards(const Box& box, const Box& target, double amount) {
  return {box.x + amount * (target.x - box.x), box.y + amount * (target.y - box.y),
          box.width + amount * (target.width - box.width),
          box.height + amount * (target.height - box.height)};
}

bool reachesPastImage(const Box& b) { return b.x < 0 || b.y < 0 || b.maxX() > 1 || b.maxY() > 1; }

// Subject, face-pulled anchor, pair, protected region and bystanders, or the
// reason the people leave the photo as it is.
std::variant<Composition, Refusal> analysePeople(
    const std::vector<Person>& filtered, double confidenceThreshold,
    const std::optional<SharpnessAssessment>& sharpness) {
  const Person* primary = primaryPerson(filtered, confidenceThreshold);
  if (const auto reason = subjectGateReason(primary, filtered.size())) return Refusal{*reason, {}};

  // The analyzer's subject is the runner whose sharpness was judged; build
  // the picture around it when there is one.
  const Box subject = sharpness && sharpness->subject ? *sharpness->subject : primary->box;

  Composition composition;
  composition.anchor = CropPlanner::visualCenter(subject, faceOf(sharpness));
  const std::optional<Person> partner =
      pairPartner(filtered, subject, confidenceThreshold, sharpness);
  if (partner) {
    composition.pairStrength = pairStrength(subject, partner->box);
    composition.anchor = composition.anchor + (partner->box.centerX() - composition.anchor) *
                                                  composition.pairStrength * kPartnerAnchorPull;
  }

  // Significance is judged against the subject before it is blended.
  PeopleRegions regions = peopleRegions(filtered, subject);
  composition.subject = subject;
  if (partner && composition.pairStrength > 0) {
    composition.subject =
        blendedTowards(subject, subject.unionWith(partner->box), composition.pairStrength);
  }

  // A protected person within its margin of the frame edge cannot be given
  // room by a tighter crop.
  if (regions.protectedRegion && reachesPastImage(*regions.protectedRegion)) {
    return Refusal{CropReason::nearEdge, regions.protectedRegion->clipped()};
  }
  composition.protectedRegion = regions.protectedRegion;
  composition.bystanders = std::move(regions.bystanders);
  return composition;
}

Composition fixedComposition() {
  Composition composition;
  composition.subject = kFixedSubject;
  return composition;
}

}  // namespace

Screening CropPlanner::screen(const JPEGInfo& info,
                              const std::optional<SharpnessAssessment>& sharpness) const {
  if (info.width * info.height < minimumPixelCount) return Screening::tooFewPixels;
  if (sharpness && sharpness->verdict == SharpnessVerdict::blurred) return Screening::blurred;
  if (sharpness && sharpness->verdict == SharpnessVerdict::review) return Screening::review;
  return Screening::pass;
}

double CropPlanner::visualCenter(const Box& body, const std::optional<Box>& face) {
  const double center = body.centerX();
  if (!face || !usableFace(body, *face)) return center;
  const double limit = kFaceOffsetLimit * body.width;
  return center + kFacePull * clampBetween(face->centerX() - center, -limit, limit);
}

CropDecision CropPlanner::plan(const JPEGInfo& info, int orientation,
                               const std::vector<Person>& people, bool fixed,
                               const std::optional<SharpnessAssessment>& sharpness) const {
  if (auto reason = photoGateReason(*this, info, sharpness)) {
    return keepWhole(people, std::move(*reason));
  }

  // The basic filter runs in both modes; fixed mode then ignores everyone.
  const std::vector<Person> filtered = basicFilter(people, confidenceThreshold);
  const std::variant<Composition, Refusal> analysis =
      fixed ? fixedComposition() : analysePeople(filtered, confidenceThreshold, sharpness);
  if (const auto* refusal = std::get_if<Refusal>(&analysis)) {
    return keepWhole(people, std::string(refusal->reason), refusal->protectedRegion);
  }
  const Composition& composition = std::get<Composition>(analysis);

  const bool soft = isSoft(sharpness);
  WindowSearchInput search;
  search.imageWidth = info.width;
  search.imageHeight = info.height;
  search.mcuWidth = info.mcuWidth;
  search.mcuHeight = info.mcuHeight;
  search.orientation = orientation;
  search.fixed = fixed;
  search.maximumTrim = maximumTrim;
  search.minimumLongEdge = minimumLongEdge;
  search.trimLimit = soft && maximumTrim > kSoftTrimLimit ? kSoftTrimLimit : maximumTrim;
  search.pixelFloor = soft ? std::max(minimumPixelCount, kSoftPixelFloor) : minimumPixelCount;
  search.subject = composition.subject;
  search.anchor = composition.anchor;
  search.pairStrength = composition.pairStrength;
  search.protectedRegion = composition.protectedRegion;
  search.bystanders = composition.bystanders;

  const std::optional<CropWindow> window = bestCropWindow(search);
  if (!window) {
    return keepWhole(people, std::string(CropReason::noBetterWindow), composition.protectedRegion);
  }

  CropDecision decision;
  decision.crop = window->rect();
  decision.people = people;
  decision.protectedRegion = composition.protectedRegion;
  decision.compositionGain = window->gain;
  if (fixed) {
    decision.reason = CropReason::fixedCrop;
    return decision;
  }
  const bool pair = composition.pairStrength >= kPairSceneStrength;
  const std::string_view sentence = pair ? CropReason::pairCrop : CropReason::singleCrop;
  decision.reason =
      soft ? std::string(CropReason::softPrefix) + std::string(sentence) : std::string(sentence);
  decision.scene = pair ? "pair" : "single";
  decision.visualAnchorX = composition.anchor;
  decision.pairStrength = composition.pairStrength;
  return decision;
}

}  // namespace kestrel
