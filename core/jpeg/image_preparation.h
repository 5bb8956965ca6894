// SPDX-License-Identifier: MIT
// ImagePreparation: the display-oriented analysis image of a photo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/base/bytes.h"
#include "core/base/image.h"
#include "core/jpeg/jpeg_engine.h"

namespace kestrel {

// The JPEG bytes of one photo and its stored size, as made by
// ImagePreparation::source. Holds no decoded pixels.
struct ImageSource {
  Bytes data;
  int storedWidth = 0;
  int storedHeight = 0;
};

namespace ImagePreparation {

// Throws CropError "无法读取 JPEG 图像" when the bytes are not a readable JPEG.
ImageSource source(Bytes data);

// The EXIF Orientation of the photo, not range-checked; 1 when absent.
int orientation(const ImageSource& source);

// An upright (EXIF orientation applied) RGB image whose longer side is
// exactly `longEdge`, or the stored size when the photo is smaller (never
// enlarged); the aspect ratio is kept, the shorter side rounded. Decoded
// once at the smallest DCT scale (1/8, 1/4, 1/2, 1) that still covers the
// target, then area-averaged. Corrupt or truncated entropy data is decoded
// as far as it goes, as an image viewer would. Grayscale and CMYK photos
// come out as RGB. Throws CropError "无法生成分析小图".
RGBImage thumbnail(const ImageSource& source, std::int64_t longEdge);

// The thumbnail of the analysis, and whether the photo's data is damaged.
// The decode reads every coefficient and the file up to its end marker, so
// truncated data, corrupt entropy data and stray bytes before the end are
// all noticed; `damage` is then libjpeg's text of the first of them
// ("Premature end of JPEG file", "Corrupt JPEG data: …").
//
// With `keepLuma`, the decoder's own output before resampling is kept too,
// as 8-bit luma of the whole photo in stored orientation at its DCT scale
// (1/4 of a 24 MP photo): later readers of fine detail take regions from it
// instead of decoding the file again. CMYK photos keep none.
struct AnalysisImage {
  RGBImage image;
  std::optional<std::string> damage;
  std::optional<JPEGEngine::ScaledRegion> luma;
};
AnalysisImage analysisThumbnail(const ImageSource& source, std::int64_t longEdge,
                                bool keepLuma = false);

}  // namespace ImagePreparation

}  // namespace kestrel
