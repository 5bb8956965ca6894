// SPDX-License-Identifier: MIT
#include "core/jpeg/previews.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/jpeg/detail/exif.h"
#include "core/jpeg/detail/libjpeg_support.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"

namespace kestrel {

namespace {

struct FreeBuffer {
  void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};

struct Encoded {
  std::unique_ptr<std::uint8_t, FreeBuffer> data;
  std::size_t size = 0;
};

// Baseline JPEG of 8-bit pixels (1 component gray or 3 components RGB, rows
// of width × components bytes); an Exif payload, when given, is written as
// APP1 right after SOI in place of the JFIF APP0. Nothing on failure.
std::optional<Encoded> encodeJPEG(const std::uint8_t* pixels, int width, int height, int components,
                                  int quality, std::span<const std::uint8_t> exifPayload) {
  libjpeg::ErrorManager errors(true);
  libjpeg::CompressHandle encoder(errors);
  jpeg_compress_struct* out = encoder.get();
  libjpeg::MallocDestination destination{};
  const auto rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
  const bool ok = libjpeg::guarded(errors, [&] {
    out->image_width = static_cast<JDIMENSION>(width);
    out->image_height = static_cast<JDIMENSION>(height);
    out->input_components = components;
    out->in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(out);
    jpeg_set_quality(out, quality, TRUE);
    if (!exifPayload.empty()) out->write_JFIF_header = FALSE;
    destination.attach(out, rowBytes * static_cast<std::size_t>(height) / 4);
    jpeg_start_compress(out, TRUE);
    if (!exifPayload.empty()) {
      jpeg_write_marker(out, JPEG_APP0 + 1, exifPayload.data(),
                        static_cast<unsigned>(exifPayload.size()));
    }
    while (out->next_scanline < out->image_height) {
      // libjpeg's row type is non-const but compression only reads it.
      auto* row = const_cast<std::uint8_t*>(pixels + out->next_scanline * rowBytes);
      jpeg_write_scanlines(out, &row, 1);
    }
    jpeg_finish_compress(out);
  });
  out->dest = nullptr;
  if (!ok) {
    destination.discard();
    return std::nullopt;
  }
  Encoded encoded;
  encoded.size = destination.size;
  encoded.data.reset(destination.release());
  return encoded;
}

// Encodes and writes a new file at `destination`, never replacing one.
// `createFailure` is thrown when the file cannot be created there (an
// existing file, a missing or read-only folder), `writeFailure` when
// encoding or writing fails; nothing is left behind either way.
void writeJPEGFile(const std::filesystem::path& destination, const std::uint8_t* pixels, int width,
                   int height, int components, int quality,
                   std::span<const std::uint8_t> exifPayload, const char* createFailure,
                   const char* writeFailure) {
  std::optional<Encoded> encoded;
  try {
    encoded = encodeJPEG(pixels, width, height, components, quality, exifPayload);
  } catch (const std::bad_alloc&) {
  }
  if (!encoded) throw CropError(writeFailure);
  try {
    writeNewFile(destination, {encoded->data.get(), encoded->size});
  } catch (const std::system_error& error) {
    const auto code = static_cast<std::errc>(error.code().value());
    const bool refused =
        code == std::errc::file_exists || code == std::errc::no_such_file_or_directory ||
        code == std::errc::permission_denied || code == std::errc::not_a_directory ||
        code == std::errc::read_only_file_system;
    throw CropError(refused ? createFailure : writeFailure);
  }
}

}  // namespace

void writePreviewJPEG(const RGBImage& image, const std::filesystem::path& destination,
                      int quality) {
  constexpr const char* kCreate = "预览无法创建输出";
  constexpr const char* kWrite = "预览写入失败";
  if (!image.valid()) throw CropError(kWrite);
  writeJPEGFile(destination, image.pixels.data(), image.width, image.height, 3, quality, {},
                kCreate, kWrite);
}

void writeFocusJPEG(const GrayPatch& patch, const std::filesystem::path& destination,
                    int orientation, int quality) {
  constexpr const char* kCreate = "无法生成主体预览";
  constexpr const char* kWrite = "主体预览写入失败";
  if (patch.width < 1 || patch.height < 1 || patch.width > 65500 || patch.height > 65500 ||
      patch.pixels.size() != static_cast<std::size_t>(patch.width * patch.height)) {
    throw CropError(kCreate);
  }
  const std::vector<std::uint8_t> exif = exif::orientationSegment(orientation);
  writeJPEGFile(destination, patch.pixels.data(), static_cast<int>(patch.width),
                static_cast<int>(patch.height), 1, quality, exif, kCreate, kWrite);
}

void preview(const std::filesystem::path& source, const std::filesystem::path& destination) {
  ImageSource image;
  try {
    image = ImagePreparation::source(readFile(source));
  } catch (const std::exception&) {
    throw CropError("预览无法读取文件");
  }
  writePreviewJPEG(ImagePreparation::thumbnail(image, kPreviewLongEdge), destination);
}

void focusPreview(const std::filesystem::path& source, const std::filesystem::path& destination,
                  const Box& box, int orientation) {
  const Bytes data = readFile(source);
  JPEGEngine engine;
  const JPEGInfo info = engine.header(data);
  const Box raw = EXIFOrientation::displayToRaw(box, orientation);
  if (!std::isfinite(raw.x) || !std::isfinite(raw.y) || !std::isfinite(raw.width) ||
      !std::isfinite(raw.height)) {
    throw CropError("无法生成主体预览");
  }
  const auto W = static_cast<double>(info.width);
  const auto H = static_cast<double>(info.height);
  // Clamped in floating point first so that the integer conversions below
  // are defined for any finite box.
  const auto toInt = [](double v) { return static_cast<std::int64_t>(std::clamp(v, -1e12, 1e12)); };
  const std::int64_t x = std::max<std::int64_t>(0, toInt(std::trunc(raw.x * W)));
  const std::int64_t y = std::max<std::int64_t>(0, toInt(std::trunc(raw.y * H)));
  const std::int64_t w = std::min(info.width - x, toInt(std::ceil(raw.width * W)));
  const std::int64_t h = std::min(info.height - y, toInt(std::ceil(raw.height * H)));
  const GrayPatch patch = engine.grayscaleROI(data, PixelRect{x, y, w, h});
  writeFocusJPEG(patch, destination, orientation);
}

}  // namespace kestrel
