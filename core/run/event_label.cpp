// SPDX-License-Identifier: MIT
#include "core/run/event_label.h"

#include <utf8proc.h>

#include "core/base/crop_error.h"
#include "core/base/text.h"

namespace kestrel::BatchDirectory {

namespace {

constexpr std::string_view kNameMessage = "赛事/分类名称为空或过长，请简化名称。";
constexpr std::string_view kDateMessage = "请选择有效的赛事日期。";
constexpr std::size_t kMaximumLabelBytes = 160;

utf8proc_category_t categoryOf(char32_t c) {
  return utf8proc_category(static_cast<utf8proc_int32_t>(c));
}

bool isControlOrFormat(char32_t c) {
  const utf8proc_category_t category = categoryOf(c);
  return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF;
}

// Space separators, line and paragraph separators, and the ASCII and Latin-1
// line-break controls (U+0009…U+000D, U+0085).
bool isWhitespaceOrNewline(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const utf8proc_category_t category = categoryOf(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

template <typename Predicate>
std::u32string_view trimmed(std::u32string_view text, Predicate trim) {
  while (!text.empty() && trim(text.front())) text.remove_prefix(1);
  while (!text.empty() && trim(text.back())) text.remove_suffix(1);
  return text;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A real Gregorian day written as exactly eight ASCII digits "yyyyMMdd".
bool isValidDate(const std::optional<std::string>& date) {
  if (!date || date->size() != 8) return false;
  for (char c : *date) {
    if (c < '0' || c > '9') return false;
  }
  const int year = std::stoi(date->substr(0, 4));
  const int month = std::stoi(date->substr(4, 2));
  const int day = std::stoi(date->substr(6, 2));
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int days = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  return day <= days;
}

}  // namespace

std::string cleanLabel(std::string_view label) {
  std::u32string joined = decodeUTF8(label);
  for (char32_t& c : joined) {
    if (isControlOrFormat(c) || c == U'/' || c == U'\\' || c == U':') c = U'-';
  }
  return encodeUTF8(trimmed(
      joined, [](char32_t c) { return isWhitespaceOrNewline(c) || c == U'.' || c == U'-'; }));
}

bool isUnlabelled(const std::optional<std::string>& label) {
  return !label || trimmed(decodeUTF8(*label), isWhitespaceOrNewline).empty();
}

void validate(const std::optional<std::string>& label, const std::optional<std::string>& date) {
  if (isUnlabelled(label)) return;
  const std::string cleaned = cleanLabel(*label);
  if (cleaned.empty() || cleaned.size() > kMaximumLabelBytes) {
    throw CropError(std::string(kNameMessage));
  }
  if (!isValidDate(date)) throw CropError(std::string(kDateMessage));
}

}  // namespace kestrel::BatchDirectory
