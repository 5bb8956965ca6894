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
  // Two digits are too often the visible part of a longer number (the rest
  // under a hand or an arm) to be worth the risk of a wrong sale.
  std::size_t minimumDigits = 3;
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

// The digits of a text, blanks dropped.
std::string digitsOf(std::string_view text);

// One read per number and photo: for a number read more than once the most
// certain read stays. Order: as first seen.
std::vector<Bib> uniqueNumbers(std::vector<Bib> reads);

}  // namespace kestrel::bibs
