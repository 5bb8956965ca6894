// SPDX-License-Identifier: MIT
#include "core/run/record_json.h"

#include <filesystem>
#include <limits>
#include <stdexcept>

#include "core/run/json_format.h"

namespace kestrel {

using nlohmann::json;
using namespace json_fields;

namespace json_fields {

std::int64_t integer(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number_integer()) {
    throw std::invalid_argument(std::string("\"") + key + "\" is not an integer");
  }
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::invalid_argument(std::string("\"") + key + "\" is out of range");
  }
  return value.get<std::int64_t>();
}

double number(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number())
    throw std::invalid_argument(std::string("\"") + key + "\" is not a number");
  return value.get<double>();
}

std::string text(const json& object, const char* key) { return object.at(key).get<std::string>(); }

}  // namespace json_fields

namespace {

template <typename Enum, typename Parse>
Enum enumFromJSON(const json& j, Parse parse, const char* what) {
  const auto value = parse(j.get<std::string>());
  if (!value)
    throw std::invalid_argument(std::string("unknown ") + what + " \"" + j.get<std::string>() +
                                "\"");
  return *value;
}

std::filesystem::path folderFromJSON(const json& object, const char* key) {
  return pathFromFileURL(text(object, key));
}

}  // namespace

void to_json(json& j, ProcessingMode value) { j = std::string(rawValue(value)); }
void from_json(const json& j, ProcessingMode& value) {
  value = enumFromJSON<ProcessingMode>(j, processingModeFromRaw, "processing mode");
}
void to_json(json& j, ComputeChoice value) { j = std::string(rawValue(value)); }
void from_json(const json& j, ComputeChoice& value) {
  value = enumFromJSON<ComputeChoice>(j, computeChoiceFromRaw, "compute choice");
}
void to_json(json& j, SharpnessVerdict value) { j = std::string(rawValue(value)); }
void from_json(const json& j, SharpnessVerdict& value) {
  value = enumFromJSON<SharpnessVerdict>(j, sharpnessVerdictFromRaw, "sharpness verdict");
}

void to_json(json& j, const Box& v) {
  j = json{{"x", v.x}, {"y", v.y}, {"width", v.width}, {"height", v.height}};
}
void from_json(const json& j, Box& v) {
  v = Box{number(j, "x"), number(j, "y"), number(j, "width"), number(j, "height")};
}

void to_json(json& j, const Bib& v) {
  j = json{
      {"number", v.number}, {"confidence", v.confidence}, {"box", v.box}, {"person", v.person}};
}
void from_json(const json& j, Bib& v) {
  v = Bib{text(j, "number"), number(j, "confidence"), j.at("box").get<Box>(), integer(j, "person")};
}

void to_json(json& j, const Person& v) { j = json{{"box", v.box}, {"confidence", v.confidence}}; }
void from_json(const json& j, Person& v) {
  v = Person{j.at("box").get<Box>(), number(j, "confidence")};
}

void to_json(json& j, const PixelRect& v) {
  j = json{{"x", v.x}, {"y", v.y}, {"width", v.width}, {"height", v.height}};
}
void from_json(const json& j, PixelRect& v) {
  v = PixelRect{integer(j, "x"), integer(j, "y"), integer(j, "width"), integer(j, "height")};
}

void to_json(json& j, const CropDecision& v) {
  j = json{{"reason", v.reason}, {"people", v.people}};
  putOptional(j, "crop", v.crop);
  putOptional(j, "protectedRegion", v.protectedRegion);
  putOptional(j, "compositionGain", v.compositionGain);
  putOptional(j, "scene", v.scene);
  putOptional(j, "visualAnchorX", v.visualAnchorX);
  putOptional(j, "pairStrength", v.pairStrength);
}
void from_json(const json& j, CropDecision& v) {
  CropDecision d;
  d.reason = text(j, "reason");
  d.people = j.at("people").get<std::vector<Person>>();
  if (present(j, "crop")) d.crop = j.at("crop").get<PixelRect>();
  if (present(j, "protectedRegion")) d.protectedRegion = j.at("protectedRegion").get<Box>();
  if (present(j, "compositionGain")) d.compositionGain = number(j, "compositionGain");
  if (present(j, "scene")) d.scene = text(j, "scene");
  if (present(j, "visualAnchorX")) d.visualAnchorX = number(j, "visualAnchorX");
  if (present(j, "pairStrength")) d.pairStrength = number(j, "pairStrength");
  v = std::move(d);
}

void to_json(json& j, const JPEGInfo& v) {
  j = json{{"width", v.width},
           {"height", v.height},
           {"mcuWidth", v.mcuWidth},
           {"mcuHeight", v.mcuHeight},
           {"subsampling", v.subsampling}};
}
void from_json(const json& j, JPEGInfo& v) {
  v = JPEGInfo{integer(j, "width"), integer(j, "height"), integer(j, "mcuWidth"),
               integer(j, "mcuHeight"), integer(j, "subsampling")};
}

void to_json(json& j, const FocusMetrics& v) {
  j = json{{"laplacianVariance", v.laplacianVariance},
           {"gradientEnergy", v.gradientEnergy},
           {"highFrequencyRatio", v.highFrequencyRatio},
           {"contrast", v.contrast}};
}
void from_json(const json& j, FocusMetrics& v) {
  v = FocusMetrics{number(j, "laplacianVariance"), number(j, "gradientEnergy"),
                   number(j, "highFrequencyRatio"), number(j, "contrast")};
}

void to_json(json& j, const SharpnessAssessment& v) {
  // The focus measures sit beside the other fields, as FocusMetrics writes them.
  j = v.metrics;
  j.update(json{{"verdict", v.verdict},
                {"regionKind", v.regionKind},
                {"sampleWidth", v.sampleWidth},
                {"sampleHeight", v.sampleHeight},
                {"reason", v.reason}});
  putOptional(j, "region", v.region);
  putOptional(j, "subject", v.subject);
  putOptional(j, "face", v.face);
  putOptional(j, "unsuitableForComposition", v.unsuitableForComposition);
}
void from_json(const json& j, SharpnessAssessment& v) {
  SharpnessAssessment a;
  a.verdict = j.at("verdict").get<SharpnessVerdict>();
  a.regionKind = text(j, "regionKind");
  a.metrics = j.get<FocusMetrics>();
  a.sampleWidth = integer(j, "sampleWidth");
  a.sampleHeight = integer(j, "sampleHeight");
  a.reason = text(j, "reason");
  if (present(j, "region")) a.region = j.at("region").get<Box>();
  if (present(j, "subject")) a.subject = j.at("subject").get<Box>();
  if (present(j, "face")) a.face = j.at("face").get<Box>();
  if (present(j, "unsuitableForComposition")) {
    a.unsuitableForComposition = j.at("unsuitableForComposition").get<std::vector<Box>>();
  }
  v = std::move(a);
}

void to_json(json& j, const BatchConfiguration& v) {
  j = json{{"input", fileURL(v.input, true)},
           {"outputRoot", fileURL(v.outputRoot, true)},
           {"workers", v.workers},
           {"maximumTrim", v.maximumTrim},
           {"minimumLongEdge", v.minimumLongEdge},
           {"minimumPixelCount", v.minimumPixelCount},
           {"confidence", v.confidence},
           {"analysisLongEdge", v.analysisLongEdge},
           {"previewCount", v.previewCount},
           {"readBibs", v.readBibs},
           {"writeBibKeywords", v.writeBibKeywords},
           {"mode", v.mode},
           {"compute", v.compute},
           {"datasetLabel", v.datasetLabel}};
  if (v.model) {
    // A prepared model is a folder, a source model a file.
    std::error_code ec;
    j["model"] = fileURL(*v.model, std::filesystem::is_directory(*v.model, ec));
  }
  if (v.faceModel) j["faceModel"] = fileURL(*v.faceModel, true);
  putOptional(j, "limit", v.limit);
  putOptional(j, "eventName", v.eventName);
  putOptional(j, "eventDate", v.eventDate);
  putOptional(j, "sourceIdentity", v.sourceIdentity);
}

BatchConfiguration configurationFromJSON(const json& j) {
  BatchConfiguration c(folderFromJSON(j, "input"), folderFromJSON(j, "outputRoot"));
  c.workers = static_cast<int>(integer(j, "workers"));
  c.maximumTrim = number(j, "maximumTrim");
  c.minimumLongEdge = integer(j, "minimumLongEdge");
  c.minimumPixelCount = integer(j, "minimumPixelCount");
  c.confidence = number(j, "confidence");
  c.analysisLongEdge = integer(j, "analysisLongEdge");
  c.previewCount = integer(j, "previewCount");
  // Summaries written before bibs were read lack both switches.
  if (present(j, "readBibs")) c.readBibs = j.at("readBibs").get<bool>();
  if (present(j, "writeBibKeywords")) c.writeBibKeywords = j.at("writeBibKeywords").get<bool>();
  c.mode = j.at("mode").get<ProcessingMode>();
  c.compute = j.at("compute").get<ComputeChoice>();
  c.datasetLabel = text(j, "datasetLabel");
  if (present(j, "model")) c.model = folderFromJSON(j, "model");
  if (present(j, "faceModel")) c.faceModel = folderFromJSON(j, "faceModel");
  if (present(j, "limit")) c.limit = integer(j, "limit");
  if (present(j, "eventName")) c.eventName = text(j, "eventName");
  if (present(j, "eventDate")) c.eventDate = text(j, "eventDate");
  if (present(j, "sourceIdentity")) c.sourceIdentity = text(j, "sourceIdentity");
  return c;
}

void to_json(json& j, const StageTimes& v) {
  j = json{{"read", v.read},           {"header", v.header},       {"thumbnail", v.thumbnail},
           {"inference", v.inference}, {"sharpness", v.sharpness}, {"bibs", v.bibs},
           {"planning", v.planning},   {"transform", v.transform}, {"write", v.write}};
}
void from_json(const json& j, StageTimes& v) {
  // "bibs" is absent from summaries written before bibs were read.
  v = StageTimes{
      number(j, "read"),      number(j, "header"),    number(j, "thumbnail"),
      number(j, "inference"), number(j, "sharpness"), number(j, "planning"),
      number(j, "transform"), number(j, "write"),     present(j, "bibs") ? number(j, "bibs") : 0};
}

void to_json(json& j, const FileResult& v) {
  j = json{{"index", v.index},
           {"relativePath", v.relativePath},
           {"inputBytes", v.inputBytes},
           {"outputBytes", v.outputBytes},
           {"orientation", v.orientation},
           {"timings", v.timings},
           {"elapsedSeconds", v.elapsedSeconds}};
  putOptional(j, "info", v.info);
  putOptional(j, "decision", v.decision);
  putOptional(j, "sharpness", v.sharpness);
  putOptional(j, "filteredReason", v.filteredReason);
  putOptional(j, "reviewReason", v.reviewReason);
  putOptional(j, "error", v.error);
  if (!v.bibs.empty()) j["bibs"] = v.bibs;
}
void from_json(const json& j, FileResult& v) {
  FileResult r;
  r.index = integer(j, "index");
  r.relativePath = text(j, "relativePath");
  r.inputBytes = integer(j, "inputBytes");
  r.outputBytes = integer(j, "outputBytes");
  r.orientation = integer(j, "orientation");
  r.timings = j.at("timings").get<StageTimes>();
  r.elapsedSeconds = number(j, "elapsedSeconds");
  if (present(j, "info")) r.info = j.at("info").get<JPEGInfo>();
  if (present(j, "decision")) r.decision = j.at("decision").get<CropDecision>();
  if (present(j, "sharpness")) r.sharpness = j.at("sharpness").get<SharpnessAssessment>();
  if (present(j, "filteredReason")) r.filteredReason = text(j, "filteredReason");
  if (present(j, "reviewReason")) r.reviewReason = text(j, "reviewReason");
  if (present(j, "error")) r.error = text(j, "error");
  if (present(j, "bibs")) r.bibs = j.at("bibs").get<std::vector<Bib>>();
  v = std::move(r);
}

void to_json(json& j, const RunSummary& v) {
  j = json{{"schemaVersion", v.schemaVersion},
           {"createdAt", iso8601(v.createdAt)},
           {"configuration", v.configuration},
           {"machine", v.machine},
           {"os", v.os},
           {"runDirectory", fileURL(v.runDirectory, true)},
           {"discovered", v.discovered},
           {"processed", v.processed},
           {"cropped", v.counts.cropped},
           {"unchanged", v.counts.unchanged},
           {"filtered", v.counts.filtered},
           {"review", v.counts.review},
           {"failed", v.counts.failed},
           {"cancelled", v.cancelled},
           {"scanSeconds", v.scanSeconds},
           {"modelStartupSeconds", v.modelStartupSeconds},
           {"processingSeconds", v.processingSeconds},
           {"reportSeconds", v.reportSeconds},
           {"p50FileMilliseconds", v.p50FileMilliseconds},
           {"p95FileMilliseconds", v.p95FileMilliseconds},
           {"inputBytes", v.inputBytes},
           {"outputBytes", v.outputBytes},
           {"files", v.files}};
  putOptional(j, "modelPath", v.modelPath);
  putOptional(j, "firstOutputSeconds", v.firstOutputSeconds);
}

RunSummary runSummaryFromJSON(const json& j) {
  RunSummary s(j.at("configuration").get<BatchConfiguration>());
  s.schemaVersion = integer(j, "schemaVersion");
  s.createdAt = parseISO8601(text(j, "createdAt"));
  s.machine = text(j, "machine");
  s.os = text(j, "os");
  s.runDirectory = folderFromJSON(j, "runDirectory");
  s.discovered = integer(j, "discovered");
  s.processed = integer(j, "processed");
  s.counts.cropped = integer(j, "cropped");
  s.counts.unchanged = integer(j, "unchanged");
  s.counts.filtered = integer(j, "filtered");
  s.counts.review = integer(j, "review");
  s.counts.failed = integer(j, "failed");
  if (!j.at("cancelled").is_boolean())
    throw std::invalid_argument("\"cancelled\" is not a boolean");
  s.cancelled = j.at("cancelled").get<bool>();
  s.scanSeconds = number(j, "scanSeconds");
  s.modelStartupSeconds = number(j, "modelStartupSeconds");
  s.processingSeconds = number(j, "processingSeconds");
  s.reportSeconds = number(j, "reportSeconds");
  s.p50FileMilliseconds = number(j, "p50FileMilliseconds");
  s.p95FileMilliseconds = number(j, "p95FileMilliseconds");
  s.inputBytes = integer(j, "inputBytes");
  s.outputBytes = integer(j, "outputBytes");
  s.files = j.at("files").get<std::vector<FileResult>>();
  if (present(j, "modelPath")) s.modelPath = text(j, "modelPath");
  if (present(j, "firstOutputSeconds")) s.firstOutputSeconds = number(j, "firstOutputSeconds");
  return s;
}

}  // namespace kestrel
