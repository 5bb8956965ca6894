// SPDX-License-Identifier: MIT
#include "core/bibs/bib_reader.h"

#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>

#include "core/base/crop_error.h"
#include "core/bibs/detail/bib_regions.h"
#include "core/bibs/detail/bib_text.h"

namespace kestrel {

namespace {

using bibs::Gray;

// Printed bib digits are about this share of a runner's height.
constexpr double kDigitShare = 0.03;
// The torso is decoded at the coarsest DCT scale that leaves the expected
// digits at least this tall; the line finder accepts half to twice that.
constexpr double kDecodedDigitHeight = 22;
// Digit height handed to the recogniser, and the white margins beside the
// strokes, in digit heights: the recogniser reads a line differently with
// a narrow and a wide margin, and the two views rarely err alike.
constexpr int kRecognitionDigitHeight = 32;
constexpr double kNarrowSide = 0.15;
constexpr double kWideSide = 0.5;
// The band of torsos is decoded at 1/8 of the stored size or finer, with
// at most this many pixels.
constexpr int kCoarsestScale = 8;
constexpr double kBandPixels = 1'500'000;
// Largest side of one decoded patch (the codec layer's limit).
constexpr double kMaxPatchSide = 4096;
// A number stands when this many of the line's four views read it, or
// when two read it with every digit at least kSureDigit; a two-digit
// number needs all of them.
constexpr std::size_t kViews = 4;
constexpr std::size_t kMajority = 3;
constexpr double kSureDigit = 0.97;
// Lines per runner that reach the recogniser, best first.
constexpr std::size_t kLinesPerPerson = 3;

constexpr std::string_view kMissingLanguage =
    "未找到 Tesseract 英文数据（tesseract-ocr-eng），无法识别号码布。请先运行 scripts/setup.sh。";

struct Job {
  std::int64_t person = 0;
  Box torso;               // display space, normalized
  double digitHeight = 0;  // expected, in stored pixels
  int scale = 1;
};

// Two boxes covering mostly the same area (intersection over union ≥ ½).
bool sameArea(const Box& a, const Box& b) {
  const double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
  const double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
  if (w <= 0 || h <= 0) return false;
  return w * h * 2 >= a.area() + b.area() - w * h;
}

int decodeScale(double digitHeight) {
  for (const int scale : {8, 4, 2}) {
    if (digitHeight / scale >= kDecodedDigitHeight) return scale;
  }
  return 1;
}

// The stored-pixel rectangle of a display-space box, clipped to the image.
PixelRect rawRect(const Box& display, const JPEGInfo& info, int orientation) {
  const Box raw = EXIFOrientation::displayToRaw(display.clipped(), orientation);
  const auto x0 = static_cast<std::int64_t>(std::floor(raw.x * static_cast<double>(info.width)));
  const auto y0 = static_cast<std::int64_t>(std::floor(raw.y * static_cast<double>(info.height)));
  const auto x1 =
      static_cast<std::int64_t>(std::ceil(raw.maxX() * static_cast<double>(info.width)));
  const auto y1 =
      static_cast<std::int64_t>(std::ceil(raw.maxY() * static_cast<double>(info.height)));
  const std::int64_t cx0 = std::clamp<std::int64_t>(x0, 0, info.width - 1);
  const std::int64_t cy0 = std::clamp<std::int64_t>(y0, 0, info.height - 1);
  return PixelRect{cx0, cy0, std::clamp<std::int64_t>(x1, cx0 + 1, info.width) - cx0,
                   std::clamp<std::int64_t>(y1, cy0 + 1, info.height) - cy0};
}

// The part of a decoded region that shows the raw rectangle `rect`, at
// 1/scale (the region's own scale or a coarser one, halved down to it),
// with the raw pixels it stands for.
std::pair<Gray, PixelRect> regionOf(const JPEGEngine::ScaledRegion& region, const PixelRect& rect,
                                    int scale) {
  const std::int64_t s = region.scale;
  const auto first = [&](std::int64_t at, std::int64_t origin, std::int64_t size) {
    return std::clamp<std::int64_t>((at - origin) / s, 0, size);
  };
  const auto last = [&](std::int64_t at, std::int64_t origin, std::int64_t size) {
    return std::clamp<std::int64_t>((at - origin + s - 1) / s, 0, size);
  };
  const std::int64_t x0 = first(rect.x, region.covered.x, region.patch.width);
  const std::int64_t y0 = first(rect.y, region.covered.y, region.patch.height);
  const std::int64_t x1 = last(rect.x + rect.width, region.covered.x, region.patch.width);
  const std::int64_t y1 = last(rect.y + rect.height, region.covered.y, region.patch.height);
  Gray part{static_cast<int>(x1 - x0), static_cast<int>(y1 - y0), {}};
  part.pixels.reserve(static_cast<std::size_t>((x1 - x0) * (y1 - y0)));
  for (std::int64_t y = y0; y < y1; ++y) {
    const std::uint8_t* row = region.patch.pixels.data() + y * region.patch.width;
    part.pixels.insert(part.pixels.end(), row + x0, row + x1);
  }
  int at = region.scale;
  while (at < scale && part.width >= 2 && part.height >= 2) {
    part = bibs::halved(part);
    at *= 2;
  }
  const PixelRect covered{region.covered.x + x0 * s, region.covered.y + y0 * s,
                          std::int64_t(part.width) * at, std::int64_t(part.height) * at};
  return {std::move(part), covered};
}

}  // namespace

struct BibReader::Engine {
  tesseract::TessBaseAPI api;

  Engine() {
    // The dictionaries are of no use for digits; not loading them saves
    // start-up time and memory. Tesseract's messages go nowhere: a batch
    // run's stderr belongs to its progress lines.
    const std::vector<std::string> names = {
        "load_system_dawg",  "load_freq_dawg",   "load_punc_dawg", "load_number_dawg",
        "load_unambig_dawg", "load_bigram_dawg", "debug_file"};
    const std::vector<std::string> values = {"0", "0", "0", "0", "0", "0", "/dev/null"};
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) !=
        0) {
      throw CropError(std::string(kMissingLanguage));
    }
    api.SetVariable("tessedit_char_whitelist", "0123456789");
    // Bib digits are dark on light; an inverted second try only costs time.
    api.SetVariable("tessedit_do_invert", "0");
  }
  ~Engine() { api.End(); }

  // `mode`: PSM_RAW_LINE takes the patch as one text line as it is;
  // PSM_SINGLE_LINE finds the line's baseline and height in it first.
  // The two err differently: the raw line reads a bold "1" as "4" now and
  // then, the found line misses faint or touching digits.
  bibs::Recognised recognise(const Gray& patch, tesseract::PageSegMode mode) {
    bibs::Recognised read;
    api.SetPageSegMode(mode);
    // Tesseract splits its network layers over OpenMP threads that spin
    // while they wait; for one short line that costs more than it saves,
    // and the batch's workers already use every core. No parallel region
    // started from this thread gets a team of more than one.
    omp_set_max_active_levels(0);
    api.SetImage(patch.pixels.data(), patch.width, patch.height, 1, patch.width);
    api.SetSourceResolution(300);
    if (api.Recognize(nullptr) != 0) return read;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (!it) return read;
    bool first = true;
    do {
      const std::unique_ptr<char[]> symbol(it->GetUTF8Text(tesseract::RIL_SYMBOL));
      if (!symbol) continue;
      if (!first && it->IsAtBeginningOf(tesseract::RIL_WORD)) read.text += ' ';
      first = false;
      read.text += symbol.get();
      read.confidences.push_back(it->Confidence(tesseract::RIL_SYMBOL) / 100.0);
    } while (it->Next(tesseract::RIL_SYMBOL));
    return read;
  }
};

BibReader::BibReader() : engine_(std::make_unique<Engine>()) {}
BibReader::~BibReader() = default;
BibReader::BibReader(BibReader&&) noexcept = default;
BibReader& BibReader::operator=(BibReader&&) noexcept = default;

std::vector<Bib> BibReader::read(std::span<const std::uint8_t> jpeg, const JPEGInfo& info,
                                 int orientation, const std::vector<Person>& people,
                                 JPEGEngine& engine, const JPEGEngine::ScaledRegion* decoded) {
  candidates_.clear();
  const bool swap = EXIFOrientation::swapsAxes(orientation);
  const double displayWidth = static_cast<double>(swap ? info.height : info.width);
  const double displayHeight = static_cast<double>(swap ? info.width : info.height);

  std::vector<Job> jobs;
  for (std::size_t i = 0; i < people.size(); ++i) {
    const double height = people[i].box.height * displayHeight;
    if (height < kMinimumPersonHeight) continue;
    Job job{static_cast<std::int64_t>(i), bibs::torsoRegion(people[i].box).clipped(),
            height * kDigitShare, 1};
    if (job.torso.width <= 0 || job.torso.height <= 0) continue;
    job.scale = decodeScale(job.digitHeight);
    jobs.push_back(job);
  }
  if (jobs.empty()) return {};

  // One decode for all torsos, at the finest scale any of them needs within
  // a pixel budget: the entropy decoding down to the lowest torso is most
  // of a region's cost and would be paid again by every further decode.
  // Torsos whose digits are larger are halved after.
  Box band = jobs.front().torso;
  int scale = kCoarsestScale;
  for (const Job& job : jobs) {
    band = band.unionWith(job.torso);
    scale = std::min(scale, job.scale);
  }
  const auto side = [&](double share, double length) { return share * length / scale; };
  while (scale < kCoarsestScale &&
         (side(band.width, displayWidth) * side(band.height, displayHeight) > kBandPixels ||
          side(band.width, displayWidth) >= kMaxPatchSide ||
          side(band.height, displayHeight) >= kMaxPatchSide)) {
    scale *= 2;
  }
  const PixelRect wanted = rawRect(band, info, orientation);
  const auto [raw, covered] =
      decoded && decoded->scale <= scale
          ? regionOf(*decoded, wanted, scale)
          : regionOf(engine.grayscaleRegion(jpeg, wanted, scale), wanted, scale);
  const Gray picture = bibs::upright(raw, orientation);
  // The display-space box the upright picture shows.
  const Box shown =
      EXIFOrientation::rawToDisplay(covered.normalized(info.width, info.height), orientation);
  const double sx = picture.width / shown.width, sy = picture.height / shown.height;

  std::vector<Bib> found;
  for (const Job& job : jobs) {
    const int tx = static_cast<int>(std::lround((job.torso.x - shown.x) * sx));
    const int ty = static_cast<int>(std::lround((job.torso.y - shown.y) * sy));
    Gray torso = bibs::cropped(picture, tx, ty, static_cast<int>(std::lround(job.torso.width * sx)),
                               static_cast<int>(std::lround(job.torso.height * sy)));
    int reduction = 1;
    while (scale * reduction * 2 <= job.scale && torso.width >= 16 && torso.height >= 16) {
      torso = bibs::halved(torso);
      reduction *= 2;
    }
    const double tsx = sx / reduction, tsy = sy / reduction;
    std::optional<Bib> bib = readTorso(
        torso, job.digitHeight / (scale * reduction), job.person,
        [&](int x, int y, int width, int height) {
          return Box{job.torso.x + x / tsx, job.torso.y + y / tsy, width / tsx, height / tsy};
        });
    if (bib) found.push_back(std::move(*bib));
  }
  return bibs::uniqueNumbers(std::move(found));
}

std::optional<Bib> BibReader::readTorso(const Gray& torso, double digitHeight, std::int64_t person,
                                        const std::function<Box(int, int, int, int)>& toDisplay) {
  const bibs::AcceptanceRules rules;
  const std::vector<bibs::DigitLine> lines = bibs::digitLines(torso, digitHeight);
  for (std::size_t k = 0; k < std::min(lines.size(), kLinesPerPerson); ++k) {
    const bibs::DigitLine& line = lines[k];
    const Box box = toDisplay(line.x, line.y, line.width, line.height);
    // Torsos of a crowd overlap: a line already recognised for another
    // runner is not recognised again (nor given to a second runner).
    if (std::any_of(candidates_.begin(), candidates_.end(),
                    [&](const Candidate& seen) { return sameArea(seen.box, box); })) {
      continue;
    }
    // A number needs several views of the line that read it: the strokes
    // alone with a narrow margin, the line as photographed, the strokes
    // with a wide margin, all taken as a raw line, and the strokes once
    // more with the line found by the recogniser. A misread digit rarely
    // survives most of them. The views stop as soon as the outcome is
    // clear, and at once when the first is no number: such a line is
    // almost never one. Two digits are often what shows of a longer
    // number, so they need the paper clear on both sides and every view
    // to agree.
    const bool twoDigits = line.marks == 2;
    if (twoDigits && !bibs::clearSides(torso, line)) continue;
    const std::function<Gray()> views[kViews] = {
        [&] { return bibs::recognitionPatch(line, kRecognitionDigitHeight, kNarrowSide); },
        [&] { return bibs::surroundingsPatch(torso, line, kRecognitionDigitHeight); },
        [&] { return bibs::recognitionPatch(line, kRecognitionDigitHeight, kWideSide); },
        [&] { return bibs::recognitionPatch(line, kRecognitionDigitHeight, kWideSide); },
    };
    const tesseract::PageSegMode modes[kViews] = {tesseract::PSM_RAW_LINE, tesseract::PSM_RAW_LINE,
                                                  tesseract::PSM_RAW_LINE,
                                                  tesseract::PSM_SINGLE_LINE};
    bibs::Ballot ballot =
        twoDigits ? bibs::Ballot(kViews, kViews) : bibs::Ballot(kViews, kMajority, kSureDigit);
    bibs::Recognised read;
    for (std::size_t v = 0; v < kViews && !ballot.settled(); ++v) {
      bibs::Recognised view = engine_->recognise(views[v](), modes[v]);
      ++recognitions_;
      view.marks = line.marks;
      std::optional<Bib> number = bibs::acceptedNumber(view, rules);
      if (v == 0) {
        read = std::move(view);
        if (!number) break;
      }
      ballot.add(std::move(number));
    }
    std::optional<Bib> bib = ballot.winner();
    Candidate candidate{person, read.text, 0, line.marks, box, bib.has_value()};
    if (!read.confidences.empty()) {
      candidate.confidence = *std::min_element(read.confidences.begin(), read.confidences.end());
    }
    candidates_.push_back(std::move(candidate));
    if (bib) {
      bib->box = box;
      bib->person = person;
      return bib;  // a runner wears one bib
    }
  }
  return std::nullopt;
}

}  // namespace kestrel
