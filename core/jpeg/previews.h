// SPDX-License-Identifier: MIT
// Preview JPEGs for the HTML report: the display-oriented before/after
// previews and the grayscale close-up of a focus region.
#pragma once

#include <filesystem>

#include "core/base/geometry.h"
#include "core/base/image.h"

namespace kestrel {

inline constexpr int kPreviewLongEdge = 1000;
inline constexpr int kPreviewQuality = 82;
inline constexpr int kFocusPreviewQuality = 95;

// Writes `image` as a new JPEG file at `destination`; an existing file is
// never replaced (like every other output).
// Throws CropError "预览无法创建输出" when the file cannot be created and
// "预览写入失败" when encoding or writing fails (no partial file is left).
void writePreviewJPEG(const RGBImage& image, const std::filesystem::path& destination,
                      int quality = kPreviewQuality);

// Writes `patch` as a grayscale JPEG in the stored pixel grid, tagged with
// the photo's EXIF orientation (a minimal Exif APP1; values outside 1…8 are
// written as 1) so that viewers show it upright. Throws CropError
// "无法生成主体预览" for a malformed patch or an uncreatable file and
// "主体预览写入失败" when encoding or writing fails.
void writeFocusJPEG(const GrayPatch& patch, const std::filesystem::path& destination,
                    int orientation, int quality = kFocusPreviewQuality);

// The display-oriented preview of the JPEG at `source`, longer edge at
// most 1000 px, quality 82. Throws CropError "预览无法读取文件" when the
// source cannot be read as a JPEG; thumbnail and writing errors as above.
void preview(const std::filesystem::path& source, const std::filesystem::path& destination);

// The grayscale close-up of `box` (display-normalized) of the photo at
// `source` whose EXIF orientation is `orientation`: the box is mapped to the
// stored grid, decoded with JPEGEngine::grayscaleROI and written at quality
// 95 with the orientation tag. Read, engine, header and region errors are
// passed on; a box with non-finite coordinates fails with "无法生成主体预览".
void focusPreview(const std::filesystem::path& source, const std::filesystem::path& destination,
                  const Box& box, int orientation);

}  // namespace kestrel
