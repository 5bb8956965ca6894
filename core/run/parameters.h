// SPDX-License-Identifier: MIT
// The options of a run, each declared once: the numeric ones with their
// range, default, command-line flag and help line, the on/off ones with
// their flag, help line and default. The configuration's defaults and
// validation, kestrel-batch's options and the window's controls all read
// them from here.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace kestrel {

template <typename T>
struct Parameter {
  std::string_view flag;          // the kestrel-batch option
  std::string_view help;          // one line for --help; the range is added to it
  std::optional<T> defaultValue;  // none: computed (workers) or unset (limit)
  T minimum;
  T maximum;

  // True inside [minimum, maximum]. Written so that a NaN is outside.
  constexpr bool accepts(T value) const { return value >= minimum && value <= maximum; }
  constexpr bool bounded() const { return maximum != std::numeric_limits<T>::max(); }
};

// An on/off option: the configuration starts at `defaultValue` and the
// command-line flag turns it to the other value.
struct Switch {
  std::string_view flag;
  std::string_view help;
  bool defaultValue;
};

namespace parameters {

inline constexpr Parameter<int> workers{
    "--workers", "Parallel workers (default: the active processors)", std::nullopt, 1, 8};
inline constexpr Parameter<double> maximumTrim{
    "--max-trim", "Largest share of each side a crop may remove (0.15 = 15 %)", 0.15, 0.0, 0.15};
inline constexpr Parameter<std::int64_t> minimumLongEdge{
    "--min-long-edge", "A crop keeps at least this long edge, in pixels", 4000, 0,
    std::numeric_limits<std::int64_t>::max()};
inline constexpr Parameter<std::int64_t> minimumPixelCount{
    "--min-pixels", "Originals with fewer pixels are filed under filtered/; crops keep as many",
    18'000'000, 18'000'000, 140'000'000};
inline constexpr Parameter<double> confidence{
    "--confidence", "Detector score from which a person counts as reliably detected", 0.35, 0.2,
    0.95};
inline constexpr Parameter<std::int64_t> analysisLongEdge{
    "--analysis-edge", "Long edge of the analysis image people are detected on, in pixels", 1024,
    416, 2048};
inline constexpr Parameter<std::int64_t> previewCount{
    "--previews", "Before/after pairs shown in report.html", 24, 0, 200};
inline constexpr Parameter<std::int64_t> limit{
    "--limit", "Process only the first N files in path order", std::nullopt, 1,
    std::numeric_limits<std::int64_t>::max()};

inline constexpr Switch readBibs{
    "--no-bibs", "Do not read the race numbers on the runners' bibs (auto mode; saves time)", true};
inline constexpr Switch writeBibKeywords{
    "--write-bib-keywords",
    "Add the bib numbers to the photos in photos/ as XMP/IPTC keywords (\"bib:951\")", false};

}  // namespace parameters

}  // namespace kestrel
