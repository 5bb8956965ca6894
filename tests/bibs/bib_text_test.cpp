// SPDX-License-Identifier: MIT
// Which recognised lines are reported as race numbers.
#include "core/bibs/detail/bib_text.h"

#include <gtest/gtest.h>

namespace kestrel::bibs {
namespace {

Recognised line(std::string text, std::vector<double> confidences, int marks) {
  return Recognised{std::move(text), std::move(confidences), marks};
}

TEST(BibTextTest, AcceptsOnlyCertainPlausibleNumbers) {
  const AcceptanceRules rules;
  const struct {
    const char* why;
    Recognised read;
    std::optional<std::string> number;
  } rows[] = {
      {"a clean read", line("951", {0.99, 0.97, 0.98}, 3), "951"},
      {"blanks around the line are dropped", line(" 8192\n", {0.99, 0.99, 0.99, 0.99}, 4), "8192"},
      {"two digits can be a number", line("28", {0.98, 0.99}, 2), "28"},
      {"a blank inside splits it in two", line("95 1", {0.99, 0.99, 0.99}, 3), {}},
      {"one digit is a fragment", line("7", {0.99}, 1), {}},
      {"six digits are no bib", line("123456", std::vector<double>(6, 0.99), 6), {}},
      {"a leading zero is an edge or a fold", line("0427", std::vector<double>(4, 0.99), 4), {}},
      {"anything but digits", line("9S1", {0.99, 0.99, 0.99}, 3), {}},
      {"one unsure digit spoils the number", line("361", {0.99, 0.85, 0.99}, 3), {}},
      {"more digits than marks: one was invented",
       line("1951", std::vector<double>(4, 0.99), 3),
       {}},
      {"fewer digits than marks: one was lost", line("192", {0.99, 0.99, 0.99}, 4), {}},
      {"a digit without its confidence", line("951", {0.99, 0.99}, 3), {}},
      {"five digits are a number", line("12345", std::vector<double>(5, 0.99), 5), "12345"},
      {"nothing read", line("", {}, 3), {}},
  };
  for (const auto& row : rows) {
    const std::optional<Bib> bib = acceptedNumber(row.read, rules);
    EXPECT_EQ(bib ? std::optional(bib->number) : std::nullopt, row.number) << row.why;
  }
  const std::optional<Bib> bib = acceptedNumber(line("951", {0.99, 0.96, 0.98}, 3), rules);
  ASSERT_TRUE(bib);
  EXPECT_DOUBLE_EQ(bib->confidence, 0.96);  // the least certain digit
}

Bib read(const char* number, double confidence) { return Bib{number, confidence, {}, 0}; }

TEST(BibTextTest, ANumberStandsWhenEnoughViewsReadIt) {
  Ballot ballot(4, 3);
  ballot.add(read("954", 0.97));
  ballot.add(read("951", 0.99));
  EXPECT_FALSE(ballot.settled());
  ballot.add(read("951", 0.93));
  EXPECT_FALSE(ballot.settled()) << "two of three, one view left that can make it three";
  ballot.add(read("951", 0.98));
  ASSERT_TRUE(ballot.settled());
  ASSERT_TRUE(ballot.winner());
  EXPECT_EQ(ballot.winner()->number, "951");
  EXPECT_DOUBLE_EQ(ballot.winner()->confidence, 0.93) << "the least certain agreeing view";

  // Settled as soon as the views left cannot give any number its votes.
  Ballot refused(4, 3);
  refused.add(std::nullopt);
  EXPECT_FALSE(refused.settled());
  refused.add(read("161", 0.99));
  EXPECT_FALSE(refused.settled());
  refused.add(read("164", 0.99));
  EXPECT_TRUE(refused.settled());
  EXPECT_FALSE(refused.winner());

  // Unanimity: the first view without the number ends it.
  Ballot unanimous(4, 4);
  unanimous.add(read("28", 0.99));
  unanimous.add(read("23", 0.99));
  EXPECT_TRUE(unanimous.settled());
  EXPECT_FALSE(unanimous.winner());
}

TEST(BibTextTest, OneReadPerNumberTheMostCertain) {
  const std::vector<Bib> reads = {
      {"951", 0.96, {0.1, 0.1, 0.1, 0.1}, 0},
      {"680", 0.97, {}, 1},
      {"951", 0.99, {0.5, 0.5, 0.1, 0.1}, 2},
      {"951", 0.95, {}, 3},
  };
  const std::vector<Bib> unique = uniqueNumbers(reads);
  ASSERT_EQ(unique.size(), 2u);
  EXPECT_EQ(unique[0], reads[2]);
  EXPECT_EQ(unique[1], reads[1]);
}

}  // namespace
}  // namespace kestrel::bibs
