// SPDX-License-Identifier: MIT
// Which recognised texts count as race numbers, and one read per number.
// Pure functions; the tests of core/bibs drive them with texts a recogniser
// really returns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/bib.h"

namespace kestrel::bibs {

// What the recogniser returned for one candidate line.
struct Recognised {
  std::string text;                 // UTF-8, may hold spaces and line breaks
  std::vector<double> confidences;  // one per recognised character, 0…1
  int marks = 0;                    // digit-shaped marks the line finder counted
};

struct AcceptanceRules {
  // Two-digit reads are often the visible part of a longer number (the rest
  // under a hand or an arm): the reader asks more of them (see BibReader).
  std::size_t minimumDigits = 2;
  std::size_t maximumDigits = 5;
  double minimumConfidence = 0.90;  // every digit at least this sure
};

// The number a recognised line holds, when it is certain enough to report:
// digits only once surrounding blanks are dropped (a blank inside splits the
// line into two numbers, and that is refused), a plausible digit count, no
// leading zero, every character at least as certain
// as the rules ask and as many digits as the line finder counted marks.
// Returns the number and the least certain digit's confidence.
std::optional<Bib> acceptedNumber(const Recognised& read, const AcceptanceRules& rules);

// The reads of one line from several views: a number stands when `needed`
// views read it (more than half of them, so at most one number can), or
// when the first two views both read it with every digit at least `sure`
// (the views are asked in order of their independence: the first two
// rarely make the same mistake).
class Ballot {
 public:
  Ballot(std::size_t views, std::size_t needed, double sure = 2)
      : views_(views), needed_(needed), sure_(sure) {}

  // One view's read: the number it accepted, or nothing.
  void add(std::optional<Bib> read);
  // True once more views cannot change the outcome: a number has its
  // votes, or the views left are too few to give any number enough.
  bool settled() const;
  // The number with enough votes; its confidence is the least certain
  // digit among the views that read it.
  std::optional<Bib> winner() const;

 private:
  std::size_t views_, needed_, cast_ = 0;
  double sure_;
  std::vector<Bib> reads_;
  std::size_t firstTwo_ = 0;  // reads among them from the first two views
};

// One read per number and photo: for a number read more than once the most
// certain read stays. Order: as first seen.
std::vector<Bib> uniqueNumbers(std::vector<Bib> reads);

}  // namespace kestrel::bibs
