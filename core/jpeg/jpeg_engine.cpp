// SPDX-License-Identifier: MIT
#include "core/jpeg/jpeg_engine.h"

#include <algorithm>
#include <limits>

#include "core/base/crop_error.h"
#include "core/jpeg/detail/mc_jpeg.h"

namespace kestrel {

namespace {

constexpr std::size_t kMessageSize = 512;
constexpr std::int64_t kMaxPixels = 140'000'000;

bool fitsInt(std::int64_t v) {
  return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
}

bool fitsInt(const PixelRect& r) {
  return fitsInt(r.x) && fitsInt(r.y) && fitsInt(r.width) && fitsInt(r.height);
}

}  // namespace

void JPEGEngine::Destroy::operator()(mc_jpeg_context* context) const noexcept {
  mc_jpeg_destroy(context);
}

JPEGEngine::JPEGEngine() : context_(mc_jpeg_create()) {
  if (!context_) throw CropError("无法创建 TurboJPEG 引擎");
}

JPEGEngine::~JPEGEngine() = default;
JPEGEngine::JPEGEngine(JPEGEngine&&) noexcept = default;
JPEGEngine& JPEGEngine::operator=(JPEGEngine&&) noexcept = default;

JPEGInfo JPEGEngine::header(std::span<const std::uint8_t> data) {
  char message[kMessageSize] = {};
  mc_jpeg_header_info h{};
  const int result =
      mc_jpeg_header(context_.get(), data.data(), data.size(), &h, message, sizeof message);
  // Both sides are below 2^31, so the product fits in 64 bits.
  if (result == mc_jpeg_empty_frame ||
      (result == 0 &&
       static_cast<std::int64_t>(h.width) * static_cast<std::int64_t>(h.height) > kMaxPixels)) {
    throw CropError("图片尺寸无效或超过原型的 1.4 亿像素限制");
  }
  if (result != 0) throw CropError(message);
  return {h.width, h.height, h.mcuWidth, h.mcuHeight, h.subsampling};
}

Bytes JPEGEngine::crop(std::span<const std::uint8_t> data, const PixelRect& rect) {
  char message[kMessageSize] = {};
  std::uint8_t* output = nullptr;
  std::size_t outputSize = 0;
  if (!fitsInt(rect)) {
    throw CropError("mc_jpeg_crop(): The crop region must lie inside the image.");
  }
  if (mc_jpeg_crop(context_.get(), data.data(), data.size(), static_cast<int>(rect.x),
                   static_cast<int>(rect.y), static_cast<int>(rect.width),
                   static_cast<int>(rect.height), &output, &outputSize, message,
                   sizeof message) != 0 ||
      output == nullptr) {
    throw CropError(message);
  }
  Bytes bytes = Bytes::adopt(output, outputSize, mc_jpeg_free);
  mc_jpeg_repair_exif(output, outputSize, static_cast<int>(rect.width),
                      static_cast<int>(rect.height));
  return bytes;
}

int JPEGEngine::grayscaleScale(const PixelRect& rect) {
  return std::min(rect.width, rect.height) >= 320 ? 2 : 1;
}

GrayPatch JPEGEngine::grayscaleROI(std::span<const std::uint8_t> data, const PixelRect& rect) {
  return grayscaleRegion(data, rect, grayscaleScale(rect)).patch;
}

JPEGEngine::ScaledRegion JPEGEngine::grayscaleRegion(std::span<const std::uint8_t> data,
                                                     const PixelRect& rect, int scale) {
  char message[kMessageSize] = {};
  if (!fitsInt(rect) || (scale != 1 && scale != 2 && scale != 4 && scale != 8)) {
    throw CropError("Invalid grayscale focus region");
  }
  std::uint8_t* pixels = nullptr;
  int width = 0, height = 0;
  if (mc_jpeg_gray_roi(context_.get(), data.data(), data.size(), static_cast<int>(rect.x),
                       static_cast<int>(rect.y), static_cast<int>(rect.width),
                       static_cast<int>(rect.height), scale, &pixels, &width, &height, message,
                       sizeof message) != 0) {
    throw CropError(message);
  }
  ScaledRegion region;
  region.scale = scale;
  region.patch.width = width;
  region.patch.height = height;
  region.patch.pixels =
      Bytes::adopt(pixels, static_cast<std::size_t>(width) * height, mc_jpeg_free);
  // The patch ends at ceil((x + width) / scale) and starts at row y / scale
  // (see mc_jpeg_gray_roi), so its raw origin follows from its size.
  const std::int64_t right = (rect.x + rect.width + scale - 1) / scale;
  region.covered.x = (right - width) * scale;
  region.covered.y = rect.y / scale * scale;
  region.covered.width = static_cast<std::int64_t>(width) * scale;
  region.covered.height = static_cast<std::int64_t>(height) * scale;
  return region;
}

}  // namespace kestrel
