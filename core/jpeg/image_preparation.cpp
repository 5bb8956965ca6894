// SPDX-License-Identifier: MIT
#include "core/jpeg/image_preparation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "core/base/crop_error.h"
#include "core/jpeg/detail/exif.h"
#include "core/jpeg/detail/libjpeg_support.h"

namespace kestrel {

namespace {

constexpr const char* kUnreadable = "无法读取 JPEG 图像";
constexpr const char* kNoThumbnail = "无法生成分析小图";
constexpr int kRowsPerRead = 16;
constexpr std::int64_t kMaxThumbnailPixels = 140'000'000;

struct Size {
  std::int64_t width;
  std::int64_t height;
};

// The longer side becomes `longEdge` (never enlarged), the shorter one is
// scaled by the same factor, rounded half up, at least 1.
Size targetSize(std::int64_t width, std::int64_t height, std::int64_t longEdge) {
  const std::int64_t longer = std::max(width, height);
  if (longer <= longEdge) return {width, height};
  const auto scaled = [&](std::int64_t side) {
    return std::max<std::int64_t>(1, (2 * side * longEdge + longer) / (2 * longer));
  };
  return width >= height ? Size{longEdge, scaled(height)} : Size{scaled(width), longEdge};
}

// Source pixel shown at display position (dx, dy) of an image stored
// width × height, for EXIF orientations 2–8 (others: as stored).
std::array<int, 2> storedPosition(int orientation, int dx, int dy, int width, int height) {
  switch (orientation) {
    case 2:
      return {width - 1 - dx, dy};
    case 3:
      return {width - 1 - dx, height - 1 - dy};
    case 4:
      return {dx, height - 1 - dy};
    case 5:
      return {dy, dx};
    case 6:
      return {dy, height - 1 - dx};
    case 7:
      return {width - 1 - dy, height - 1 - dx};
    case 8:
      return {width - 1 - dy, dx};
    default:
      return {dx, dy};
  }
}

RGBImage upright(RGBImage stored, int orientation) {
  if (orientation < 2 || orientation > 8) return stored;
  const bool swaps = orientation >= 5;
  RGBImage display;
  display.width = swaps ? stored.height : stored.width;
  display.height = swaps ? stored.width : stored.height;
  display.pixels.resize(stored.pixels.size());
  std::uint8_t* out = display.pixels.data();
  for (int dy = 0; dy < display.height; ++dy) {
    for (int dx = 0; dx < display.width; ++dx, out += 3) {
      const auto [sx, sy] = storedPosition(orientation, dx, dy, stored.width, stored.height);
      std::memcpy(out, stored.pixels.data() + (std::size_t(sy) * stored.width + sx) * 3, 3);
    }
  }
  return display;
}

// CMYK as libjpeg returns it (Adobe files store it inverted) to RGB.
void inkToRGB(const std::uint8_t* cmyk, std::uint8_t* rgb, int width, bool inverted) {
  for (int x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    const int k = inverted ? cmyk[3] : 255 - cmyk[3];
    for (int c = 0; c < 3; ++c) {
      const int ink = inverted ? cmyk[c] : 255 - cmyk[c];
      rgb[c] = static_cast<std::uint8_t>((ink * k + 127) / 255);
    }
  }
}

// JPEG's own luma weights (JFIF), in 16-bit fixed point.
void lumaOf(const std::uint8_t* rgb, std::uint8_t* luma, int width) {
  for (int x = 0; x < width; ++x, rgb += 3) {
    luma[x] = static_cast<std::uint8_t>(
        (19595u * rgb[0] + 38470u * rgb[1] + 7471u * rgb[2] + 32768u) >> 16);
  }
}

ImagePreparation::AnalysisImage decodeThumbnail(const ImageSource& source, std::int64_t longEdge,
                                                bool keepLuma) {
  libjpeg::ErrorManager errors(false);
  libjpeg::DecompressHandle decoder(errors);
  jpeg_decompress_struct* in = decoder.get();
  const Bytes& data = source.data;
  bool ink = false;
  if (!libjpeg::guarded(errors, [&] {
        jpeg_mem_src(in, data.data(), data.size());
        jpeg_read_header(in, TRUE);
        ink = in->jpeg_color_space == JCS_CMYK || in->jpeg_color_space == JCS_YCCK;
      })) {
    throw CropError(kNoThumbnail);
  }
  const Size target = targetSize(in->image_width, in->image_height, longEdge);
  // Within the pixel limit of the whole system, so a huge long edge cannot
  // ask for an absurd buffer.
  if (target.width * target.height > kMaxThumbnailPixels) throw CropError(kNoThumbnail);
  // The smallest DCT scale whose output still covers the target both ways.
  unsigned denominator = 1;
  for (const unsigned d : {8u, 4u, 2u}) {
    if ((in->image_width + d - 1) / d >= target.width &&
        (in->image_height + d - 1) / d >= target.height) {
      denominator = d;
      break;
    }
  }
  const bool inverted = ink && in->saw_Adobe_marker;
  if (!libjpeg::guarded(errors, [&] {
        in->out_color_space = ink ? JCS_CMYK : JCS_RGB;
        in->scale_num = 1;
        in->scale_denom = denominator;
        jpeg_start_decompress(in);
      })) {
    throw CropError(kNoThumbnail);
  }
  const int width = static_cast<int>(in->output_width);
  const int height = static_cast<int>(in->output_height);
  const int channels = in->output_components;
  if (width < target.width || height < target.height || channels != (ink ? 4 : 3)) {
    throw CropError(kNoThumbnail);
  }

  RGBImage stored;
  stored.width = static_cast<int>(target.width);
  stored.height = static_cast<int>(target.height);
  stored.pixels.resize(std::size_t(stored.width) * std::size_t(stored.height) * 3);
  const bool resample = width != stored.width || height != stored.height;
  std::optional<AreaResampler> resampler;
  if (resample) {
    resampler.emplace(width, height, stored.width, stored.height, stored.pixels.data(),
                      std::size_t(stored.width) * 3);
  }

  std::vector<std::uint8_t> luma(keepLuma && !ink ? std::size_t(width) * std::size_t(height) : 0);

  std::vector<std::uint8_t> rows(std::size_t(width) * std::size_t(channels) * kRowsPerRead);
  std::vector<std::uint8_t> rgbRow(ink ? std::size_t(width) * 3 : 0);
  std::array<JSAMPROW, kRowsPerRead> rowPointers{};
  for (int i = 0; i < kRowsPerRead; ++i) {
    rowPointers[i] = rows.data() + std::size_t(i) * std::size_t(width) * std::size_t(channels);
  }
  int done = 0;
  while (done < height) {
    JDIMENSION got = 0;
    if (!libjpeg::guarded(
            errors, [&] { got = jpeg_read_scanlines(in, rowPointers.data(), kRowsPerRead); }) ||
        got == 0) {
      throw CropError(kNoThumbnail);
    }
    for (JDIMENSION i = 0; i < got; ++i, ++done) {
      const std::uint8_t* row = rowPointers[i];
      if (ink) {
        inkToRGB(row, rgbRow.data(), width, inverted);
        row = rgbRow.data();
      }
      if (!luma.empty()) lumaOf(row, luma.data() + std::size_t(done) * std::size_t(width), width);
      if (resampler) {
        resampler->addRow(row);
      } else {
        std::memcpy(stored.pixels.data() + std::size_t(done) * std::size_t(width) * 3, row,
                    std::size_t(width) * 3);
      }
    }
  }
  // Reading on to the end marker notices stray data after the last row.
  if (!libjpeg::guarded(errors, [&] { jpeg_finish_decompress(in); })) {
    throw CropError(kNoThumbnail);
  }
  ImagePreparation::AnalysisImage result{std::move(stored), std::nullopt, std::nullopt};
  if (!luma.empty()) {
    JPEGEngine::ScaledRegion& whole = result.luma.emplace();
    whole.scale = static_cast<int>(denominator);
    whole.patch = GrayPatch{width, height, Bytes(std::move(luma))};
    whole.covered =
        PixelRect{0, 0, std::int64_t(width) * denominator, std::int64_t(height) * denominator};
  }
  if (errors.firstWarning[0] != '\0') result.damage = errors.firstWarning;
  return result;
}

}  // namespace

namespace ImagePreparation {

ImageSource source(Bytes data) {
  libjpeg::ErrorManager errors(false);
  ImageSource result;
  try {
    libjpeg::DecompressHandle decoder(errors);
    jpeg_decompress_struct* in = decoder.get();
    if (data.empty() || !libjpeg::guarded(errors, [&] {
          jpeg_mem_src(in, data.data(), data.size());
          jpeg_read_header(in, TRUE);
        })) {
      throw CropError(kUnreadable);
    }
    result.storedWidth = static_cast<int>(in->image_width);
    result.storedHeight = static_cast<int>(in->image_height);
  } catch (const std::bad_alloc&) {
    throw CropError(kUnreadable);
  }
  result.data = std::move(data);
  return result;
}

int orientation(const ImageSource& source) {
  return exif::orientation(source.data.span()).value_or(1);
}

AnalysisImage analysisThumbnail(const ImageSource& source, std::int64_t longEdge, bool keepLuma) {
  if (longEdge < 1 || source.data.empty()) throw CropError(kNoThumbnail);
  try {
    AnalysisImage decoded = decodeThumbnail(source, longEdge, keepLuma);
    decoded.image = upright(std::move(decoded.image), orientation(source));
    return decoded;
  } catch (const std::bad_alloc&) {
    throw CropError(kNoThumbnail);
  }
}

RGBImage thumbnail(const ImageSource& source, std::int64_t longEdge) {
  return analysisThumbnail(source, longEdge).image;
}

}  // namespace ImagePreparation

}  // namespace kestrel
