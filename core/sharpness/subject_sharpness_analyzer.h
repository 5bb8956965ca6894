// SPDX-License-Identifier: MIT
// SubjectSharpnessAnalyzer: is the main runner sharp, slightly soft, clearly
// blurred, or impossible to judge?
//
// It picks the largest reliable runner, looks for the face in the top of the
// runner's box, decodes only a small grayscale region of the face (or, with
// no face, of the upper body) from the JPEG data, measures its focus and
// classifies it. When the largest runner is not sharp, up to two other
// runners of comparable size are assessed and may become the subject.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/geometry.h"
#include "core/base/image.h"
#include "core/base/jpeg_info.h"
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

class JPEGEngine;

// The face-rectangle service the analyzer asks for faces. Implementations
// report the faces they find in `region` (normalized, top-left origin),
// each box normalized to the whole image.
class FaceFinder {
 public:
  virtual ~FaceFinder() = default;
  virtual std::vector<Detection> faces(const RGBImage& image, const Box& region) = 0;
};

class SubjectSharpnessAnalyzer {
 public:
  explicit SubjectSharpnessAnalyzer(std::unique_ptr<FaceFinder> faceFinder);

  // Runs the face detector once over the whole image; the result is ignored.
  void warmup(const RGBImage& image);

  // Judges the main runner of one photo. `image` is the analysis thumbnail
  // the people were detected on. Throws the errors of face detection, region
  // decoding and normalization; everything else is a verdict with a reason.
  SharpnessAssessment assess(const Bytes& data, const JPEGInfo& info, int orientation,
                             const RGBImage& image, const std::vector<Person>& people,
                             JPEGEngine& jpeg, double confidence);

  // The verdict and reason that the measures of a patch give.
  static SharpnessAssessment classify(const FocusMetrics& metrics, std::string_view kind,
                                      const std::optional<Box>& region, std::int64_t width,
                                      std::int64_t height);

  // The runner-selection rules over an injectable assessment of one runner.
  static SharpnessAssessment assessRunners(
      const std::vector<Person>& people, double confidence,
      const std::function<SharpnessAssessment(const Person&)>& assessSubject);

  // Where to look for a face: the top 0.42 of the person's box, clipped.
  static Box faceSearchBand(const Box& person);

  // What to measure for a person given the faces found near it.
  struct Region {
    std::string_view kind;  // "face" or "upperBody"
    Box box;                // display space, clipped
    std::optional<Box> face;
  };
  static Region measuredRegion(const Box& person, const std::vector<Detection>& faces);

  // The stored-pixel rectangle covering a display-space region.
  static PixelRect rawRectangle(const Box& region, int orientation, std::int64_t width,
                                std::int64_t height);

 private:
  SharpnessAssessment assessSubject(const Person& person, const Bytes& data, const JPEGInfo& info,
                                    int orientation, const RGBImage& image, JPEGEngine& jpeg);

  std::unique_ptr<FaceFinder> faceFinder_;
};

}  // namespace kestrel
