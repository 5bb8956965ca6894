// SPDX-License-Identifier: MIT
// JSON encoding of Kestrel's records, the one place that fixes it.
//
// Keys are the field names exactly. An absent optional is left out (never
// null); a missing required key, a value of the wrong type or an unknown
// enumeration text is a decoding error (nlohmann::json::exception or
// std::invalid_argument). Enumerations are written as their raw text and
// folders as file URLs with a trailing "/".
#pragma once

#include <nlohmann/json.hpp>

#include "core/base/jpeg_info.h"
#include "core/planning/crop_decision.h"
#include "core/run/batch_configuration.h"
#include "core/run/run_summary.h"
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

void to_json(nlohmann::json& j, ProcessingMode value);
void from_json(const nlohmann::json& j, ProcessingMode& value);
void to_json(nlohmann::json& j, ComputeChoice value);
void from_json(const nlohmann::json& j, ComputeChoice& value);
void to_json(nlohmann::json& j, SharpnessVerdict value);
void from_json(const nlohmann::json& j, SharpnessVerdict& value);

void to_json(nlohmann::json& j, const Box& value);
void from_json(const nlohmann::json& j, Box& value);
void to_json(nlohmann::json& j, const Bib& value);
void from_json(const nlohmann::json& j, Bib& value);
void to_json(nlohmann::json& j, const Person& value);
void from_json(const nlohmann::json& j, Person& value);
void to_json(nlohmann::json& j, const PixelRect& value);
void from_json(const nlohmann::json& j, PixelRect& value);
void to_json(nlohmann::json& j, const CropDecision& value);
void from_json(const nlohmann::json& j, CropDecision& value);
void to_json(nlohmann::json& j, const JPEGInfo& value);
void from_json(const nlohmann::json& j, JPEGInfo& value);
void to_json(nlohmann::json& j, const FocusMetrics& value);
void from_json(const nlohmann::json& j, FocusMetrics& value);
void to_json(nlohmann::json& j, const SharpnessAssessment& value);
void from_json(const nlohmann::json& j, SharpnessAssessment& value);
void to_json(nlohmann::json& j, const BatchConfiguration& value);
BatchConfiguration configurationFromJSON(const nlohmann::json& j);
void to_json(nlohmann::json& j, const StageTimes& value);
void from_json(const nlohmann::json& j, StageTimes& value);
void to_json(nlohmann::json& j, const FileResult& value);
void from_json(const nlohmann::json& j, FileResult& value);
void to_json(nlohmann::json& j, const RunSummary& value);
RunSummary runSummaryFromJSON(const nlohmann::json& j);

// Helpers for the record encoders of other modules.
namespace json_fields {
// A JSON integer that fits 64 bits; a fractional number is refused.
std::int64_t integer(const nlohmann::json& object, const char* key);
double number(const nlohmann::json& object, const char* key);
std::string text(const nlohmann::json& object, const char* key);
// A key that is missing or null decodes as absent.
inline bool present(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && !it->is_null();
}
template <typename T>
void putOptional(nlohmann::json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}
}  // namespace json_fields

}  // namespace kestrel

namespace nlohmann {
template <>
struct adl_serializer<kestrel::RunSummary> {
  static kestrel::RunSummary from_json(const json& j) { return kestrel::runSummaryFromJSON(j); }
  static void to_json(json& j, const kestrel::RunSummary& value) { kestrel::to_json(j, value); }
};
template <>
struct adl_serializer<kestrel::BatchConfiguration> {
  static kestrel::BatchConfiguration from_json(const json& j) {
    return kestrel::configurationFromJSON(j);
  }
  static void to_json(json& j, const kestrel::BatchConfiguration& value) {
    kestrel::to_json(j, value);
  }
};
}  // namespace nlohmann
