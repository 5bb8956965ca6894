// SPDX-License-Identifier: MIT
// BibReader: reads the race numbers on the bibs of detected runners.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/bib.h"
#include "core/base/geometry.h"
#include "core/base/jpeg_info.h"
#include "core/jpeg/jpeg_engine.h"

namespace kestrel {

namespace bibs {
struct Gray;
}

// One worker's bib reader: owns its own Tesseract engine (English LSTM
// model, digits only), so it is move-only and never shared between threads.
//
// For each runner tall enough to carry a readable bib it decodes the torso
// from the JPEG at the DCT scale that brings the digits to about 20–45
// pixels, finds lines of digit-shaped dark marks on a light ground there,
// and recognises each line as a text line in several views (strokes alone
// with a narrow and a wide margin, the line as photographed). A number is
// reported only when most views read it, every digit with high confidence
// and as many digits as there are marks: a wrong number sells a photo to
// the wrong runner, a missing one only costs a sale.
class BibReader {
 public:
  // Loads the recogniser. Throws CropError naming the missing language data
  // when Tesseract cannot be initialised.
  BibReader();
  ~BibReader();
  BibReader(BibReader&&) noexcept;
  BibReader& operator=(BibReader&&) noexcept;

  // The numbers on the bibs of `people` (display space, as detected) in the
  // photo `jpeg`, at most one read per number; each names its runner by
  // index into `people`. Every detected runner is looked at, however low
  // the detector's score: a runner half hidden in a crowd is detected with
  // little confidence, yet the bib may be in plain view, and what is read
  // must pass the same checks. Decoding failures throw CropError.
  // `decoded`, when given, is the whole photo's luma already decoded at
  // some DCT scale (the analysis keeps it): torsos that need no finer
  // scale are taken from it instead of decoding the file again.
  std::vector<Bib> read(std::span<const std::uint8_t> jpeg, const JPEGInfo& info, int orientation,
                        const std::vector<Person>& people, JPEGEngine& engine,
                        const JPEGEngine::ScaledRegion* decoded = nullptr);

  // A runner is looked at when the person box is at least this tall in
  // stored pixels: below it the digits are too small to read reliably.
  static constexpr double kMinimumPersonHeight = 800;

  // What the last read() looked at, for measurement tools: every line that
  // reached the recogniser, with its text and whether it was reported.
  struct Candidate {
    std::int64_t person = 0;
    std::string text;
    double confidence = 0;  // least certain character, 0…1
    int marks = 0;
    Box box;
    bool accepted = false;
  };
  const std::vector<Candidate>& candidates() const { return candidates_; }
  // How many images the recogniser has read since this reader was made.
  std::size_t recognitions() const { return recognitions_; }

 private:
  // The bib of one runner's torso image (digits about `digitHeight` pixels
  // tall); `toDisplay` maps a rectangle of it to display space.
  std::optional<Bib> readTorso(const bibs::Gray& torso, double digitHeight, std::int64_t person,
                               const std::function<Box(int, int, int, int)>& toDisplay);

  struct Engine;
  std::unique_ptr<Engine> engine_;
  std::vector<Candidate> candidates_;
  std::size_t recognitions_ = 0;
};

}  // namespace kestrel
