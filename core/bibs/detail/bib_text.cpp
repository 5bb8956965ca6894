// SPDX-License-Identifier: MIT
#include "core/bibs/detail/bib_text.h"

#include <algorithm>

namespace kestrel::bibs {

namespace {

bool blank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<Bib> acceptedNumber(const Recognised& read, const AcceptanceRules& rules) {
  const std::string_view text = trimmed(read.text);
  if (text.size() < rules.minimumDigits || text.size() > rules.maximumDigits) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // A leading zero is a bib's edge or a fold read as "0" far more often
  // than a printed number.
  if (text.front() == '0') return std::nullopt;
  // Every digit must come with its own confidence, and the line finder must
  // have seen as many marks: a digit the recogniser invented from an edge
  // or a fold, or one it merged, shows up as a difference.
  if (read.confidences.size() != text.size()) return std::nullopt;
  if (read.marks != static_cast<int>(text.size())) return std::nullopt;
  const double least = *std::min_element(read.confidences.begin(), read.confidences.end());
  if (least < rules.minimumConfidence) return std::nullopt;
  Bib bib;
  bib.number = std::string(text);
  bib.confidence = least;
  return bib;
}

void Ballot::add(std::optional<Bib> read) {
  ++cast_;
  if (!read) return;
  reads_.push_back(std::move(*read));
  if (cast_ <= 2) ++firstTwo_;
}

std::optional<Bib> Ballot::winner() const {
  if (firstTwo_ == 2 && reads_[0].number == reads_[1].number &&
      std::min(reads_[0].confidence, reads_[1].confidence) >= sure_) {
    Bib agreed = reads_[0];
    agreed.confidence = std::min(reads_[0].confidence, reads_[1].confidence);
    return agreed;
  }
  for (const Bib& candidate : reads_) {
    Bib agreed = candidate;
    std::size_t votes = 0;
    for (const Bib& read : reads_) {
      if (read.number != candidate.number) continue;
      ++votes;
      agreed.confidence = std::min(agreed.confidence, read.confidence);
    }
    if (votes >= needed_) return agreed;
  }
  return std::nullopt;
}

bool Ballot::settled() const {
  if (winner()) return true;
  std::size_t most = 0;
  for (const Bib& candidate : reads_) {
    most = std::max(most, static_cast<std::size_t>(std::count_if(
                              reads_.begin(), reads_.end(),
                              [&](const Bib& read) { return read.number == candidate.number; })));
  }
  return most + (views_ - std::min(cast_, views_)) < needed_;
}

std::vector<Bib> uniqueNumbers(std::vector<Bib> reads) {
  std::vector<Bib> unique;
  for (Bib& read : reads) {
    const auto same = std::find_if(unique.begin(), unique.end(),
                                   [&](const Bib& kept) { return kept.number == read.number; });
    if (same == unique.end()) {
      unique.push_back(std::move(read));
    } else if (read.confidence > same->confidence) {
      *same = std::move(read);
    }
  }
  return unique;
}

}  // namespace kestrel::bibs
