// SPDX-License-Identifier: MIT
#include "core/run/json_format.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "core/base/text.h"

namespace kestrel {

namespace {

// Refuses non-finite numbers, which JSON cannot hold, and makes every text
// valid UTF-8 the way the other reports do.
void prepare(nlohmann::json& value) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) {
    throw std::domain_error("Unable to encode a non-finite number in JSON");
  }
  if (value.is_string()) {
    std::string& text = value.get_ref<std::string&>();
    text = validUTF8(text);
  }
  if (value.is_structured()) {
    for (auto& element : value) prepare(element);
  }
}

// Characters left as they are in a URL path; everything else is %XX-encoded
// byte by byte (so UTF-8 names become %E9%9A%BC…).
bool isPathCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kAllowed = "-._~!$&'()*+,=:@/";
  return kAllowed.find(static_cast<char>(c)) != std::string_view::npos;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string dumpJSON(const nlohmann::json& value) {
  nlohmann::json prepared = value;
  prepare(prepared);
  return prepared.dump(2, ' ', false) + "\n";
}

std::string fileURL(const std::filesystem::path& path, bool isDirectory) {
  std::string text = std::filesystem::absolute(path).lexically_normal().string();
  if (isDirectory && (text.empty() || text.back() != '/')) text += '/';
  std::string out = "file://";
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (isPathCharacter(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::filesystem::path pathFromFileURL(std::string_view url) {
  constexpr std::string_view kScheme = "file://";
  if (!url.starts_with(kScheme)) throw std::invalid_argument("not a file URL");
  url.remove_prefix(kScheme.size());
  std::string path;
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%') {
      const int hi = i + 2 < url.size() ? hexValue(url[i + 1]) : -1;
      const int lo = i + 2 < url.size() ? hexValue(url[i + 2]) : -1;
      if (hi < 0 || lo < 0) throw std::invalid_argument("bad percent escape in file URL");
      path += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      path += url[i];
    }
  }
  if (path.empty() || path.front() != '/')
    throw std::invalid_argument("file URL without absolute path");
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string iso8601(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::chrono::system_clock::time_point parseISO8601(std::string_view text) {
  std::tm utc{};
  const std::string copy(text);
  char* end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  if (end == nullptr || *end != '\0') throw std::invalid_argument("not an ISO 8601 UTC time");
  return std::chrono::system_clock::from_time_t(timegm(&utc));
}

}  // namespace kestrel
