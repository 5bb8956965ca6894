// SPDX-License-Identifier: MIT
// CropPlanner: decides for one photo whether a tighter crop of the same aspect
// ratio improves the composition around the main runner (or a pair of
// runners), and if so which MCU-aligned rectangle to cut. A pure computation:
// it never fails, and when it keeps the photo whole it says why.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/geometry.h"
#include "core/base/jpeg_info.h"
#include "core/planning/crop_decision.h"
#include "core/sharpness/sharpness_records.h"

namespace kestrel {

// The planner's reason texts, shown in the reports.
namespace CropReason {
inline constexpr std::string_view zeroTrim = "裁剪幅度为零";
inline constexpr std::string_view tooFewPixels = "原图不足最低像素要求，不放大";
inline constexpr std::string_view resolutionFloor = "保留最低分辨率";
inline constexpr std::string_view noReliablePerson = "未可靠检测到人物";
inline constexpr std::string_view smallPerson = "人物较小，保留环境";
inline constexpr std::string_view crowd = "密集多人，保留覆盖";
inline constexpr std::string_view fullFrame = "人物已较满，保留手脚空间";
inline constexpr std::string_view nearEdge = "人物靠近边缘，保留原构图";
inline constexpr std::string_view noBetterWindow = "原构图更合适，或安全余量/像素不足";
inline constexpr std::string_view fixedCrop = "固定裁剪（仅引擎基准）";
inline constexpr std::string_view pairCrop = "双人组合居中，保留两人完整边界与上下空间";
inline constexpr std::string_view singleCrop = "结合人脸与全身位置居中，保留头顶与手脚空间";
// Put in front of the crop sentence when the subject is slightly soft.
inline constexpr std::string_view softPrefix = "主体略软，保守调整；";
}  // namespace CropReason

// What a photo is before any composition is considered: deliverable, or
// ruled out because it has too few pixels or because the subject was judged
// clearly blurred or could not be judged. The batch files a photo by it
// (filtered/ or review/), and the planner keeps a ruled-out photo whole.
enum class Screening { pass, tooFewPixels, blurred, review };

struct CropPlanner {
  double maximumTrim;              // largest fraction of each dimension a crop may remove
  std::int64_t minimumLongEdge;    // the crop's longer side stays at least this long
  std::int64_t minimumPixelCount;  // for the photo and for the crop
  double confidenceThreshold;      // detector score of a reliably detected person

  // `people` are display-space detections in detector order; `fixed` asks for
  // the engine benchmark's centred crop without looking at anyone. The same
  // inputs always give the same decision, and `people` is returned unchanged.
  CropDecision plan(const JPEGInfo& info, int orientation, const std::vector<Person>& people,
                    bool fixed, const std::optional<SharpnessAssessment>& sharpness) const;

  Screening screen(const JPEGInfo& info, const std::optional<SharpnessAssessment>& sharpness) const;

  // The x the crop should centre on: the body's centre, pulled towards a
  // usable face by at most 9 % of the body width.
  static double visualCenter(const Box& body, const std::optional<Box>& face);
};

}  // namespace kestrel
