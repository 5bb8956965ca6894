// SPDX-License-Identifier: MIT
#include "core/jpeg/detail/mc_jpeg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/jpeg/detail/coefficient_stream.h"
#include "core/jpeg/detail/exif.h"
#include "core/jpeg/detail/libjpeg_support.h"

namespace kestrel {

using libjpeg::guarded;

// Two libjpeg pipelines: the transform pair (decompressor + compressor,
// sharing one error manager) reads headers and crops; the decoder decodes
// grayscale regions. Both stop on warnings and cap their large buffers.
struct mc_jpeg_context {
  libjpeg::ErrorManager transformErrors{true};
  libjpeg::DecompressHandle source{transformErrors};
  libjpeg::CompressHandle destination{transformErrors};
  libjpeg::CoefficientStream stream;  // row buffers of the streamed crop, kept from crop to crop
  libjpeg::ErrorManager decodeErrors{true};
  libjpeg::DecompressHandle decoder{decodeErrors};
};

namespace {

constexpr const char* kNoContext = "JPEG context allocation failed";
constexpr const char* kUnsupportedSampling = "Unsupported JPEG chroma subsampling";
constexpr const char* kInvalidRegion = "Invalid grayscale focus region";
constexpr long long kMaxPatchSide = 4096;

int fail(char* message, std::size_t messageSize, const char* text) {
  if (message != nullptr && messageSize > 0) {
    const std::size_t n = std::min(std::strlen(text), messageSize - 1);
    std::memcpy(message, text, n);
    message[n] = '\0';
  }
  return -1;
}

template <typename... Args>
int failf(char* message, std::size_t messageSize, const char* format, Args... args) {
  char text[JMSG_LENGTH_MAX * 2];
  std::snprintf(text, sizeof text, format, args...);
  return fail(message, messageSize, text);
}

bool isMarker(const jpeg_saved_marker_ptr m, int code, const char* id, unsigned idLength) {
  return m->marker == code && m->data_length >= idLength && std::memcmp(m->data, id, idLength) == 0;
}

// Copies the saved APPn/COM markers the way `jpegtran -copy all` does: a
// JFIF APP0 or Adobe APP14 is dropped when the compressor writes its own.
void copyMarkers(jpeg_decompress_struct* in, jpeg_compress_struct* out) {
  for (jpeg_saved_marker_ptr m = in->marker_list; m != nullptr; m = m->next) {
    if (out->write_JFIF_header && isMarker(m, JPEG_APP0, "JFIF", 5)) continue;
    if (out->write_Adobe_marker && isMarker(m, JPEG_APP0 + 14, "Adobe", 5)) continue;
    jpeg_write_marker(out, m->marker, m->data, m->data_length);
  }
}

// The crop without moving a coefficient: the compressor reads its input
// only through its memory manager's access_virt_barray, so that method is
// pointed at the source's arrays, shifted by the crop's MCU position, for
// the length of one crop. It only ever asks for the destination's
// width_in_blocks × height_in_blocks (whole iMCU rows) of each component,
// which lie inside the source arrays because the crop does. Its
// client_data leads here.
struct ShiftedCoefficients {
  j_common_ptr source = nullptr;
  using Access = JBLOCKARRAY (*)(j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean);
  Access sourceAccess = nullptr;
  Access destinationAccess = nullptr;  // the compressor's own, restored afterwards
  int components = 0;
  jvirt_barray_ptr arrays[MAX_COMPONENTS] = {};
  JDIMENSION columns[MAX_COMPONENTS] = {};  // block offsets of the crop
  JDIMENSION rows[MAX_COMPONENTS] = {};
  JBLOCKROW view[MAX_COMPONENTS][MAX_SAMP_FACTOR] = {};
};

JBLOCKARRAY accessShifted(j_common_ptr destination, jvirt_barray_ptr array, JDIMENSION startRow,
                          JDIMENSION numRows, boolean writable) {
  auto* shifted = static_cast<ShiftedCoefficients*>(destination->client_data);
  for (int ci = 0; ci < shifted->components; ++ci) {
    if (shifted->arrays[ci] != array) continue;
    if (writable || numRows > MAX_SAMP_FACTOR) ERREXIT(destination, JERR_BAD_VIRTUAL_ACCESS);
    JBLOCKARRAY source =
        shifted->sourceAccess(shifted->source, array, startRow + shifted->rows[ci], numRows, FALSE);
    for (JDIMENSION r = 0; r < numRows; ++r)
      shifted->view[ci][r] = source[r] + shifted->columns[ci];
    return shifted->view[ci];
  }
  ERREXIT(destination, JERR_BAD_VIRTUAL_ACCESS);
  return nullptr;
}

// Serves the compressor the crop at MCU column/row (mcuColumn, mcuRow) of
// `coefficients`. Call after jpeg_copy_critical_parameters (which sets the
// destination's sampling factors) and undo with restoreAccess.
void shiftAccess(jpeg_decompress_struct* in, jpeg_compress_struct* out,
                 jvirt_barray_ptr* coefficients, JDIMENSION mcuColumn, JDIMENSION mcuRow,
                 ShiftedCoefficients& shifted) {
  shifted.source = reinterpret_cast<j_common_ptr>(in);
  shifted.sourceAccess = in->mem->access_virt_barray;
  shifted.components = out->num_components;
  for (int ci = 0; ci < out->num_components; ++ci) {
    shifted.arrays[ci] = coefficients[ci];
    shifted.columns[ci] = mcuColumn * static_cast<JDIMENSION>(out->comp_info[ci].h_samp_factor);
    shifted.rows[ci] = mcuRow * static_cast<JDIMENSION>(out->comp_info[ci].v_samp_factor);
  }
  shifted.destinationAccess = out->mem->access_virt_barray;
  out->client_data = &shifted;
  out->mem->access_virt_barray = accessShifted;
}

void restoreAccess(jpeg_compress_struct* out, const ShiftedCoefficients& shifted) {
  if (shifted.destinationAccess != nullptr)
    out->mem->access_virt_barray = shifted.destinationAccess;
  out->client_data = nullptr;
}

bool startsWithExif(const jpeg_decompress_struct* in) {
  return in->marker_list != nullptr && isMarker(in->marker_list, JPEG_APP0 + 1, "Exif\0", 6);
}

}  // namespace

mc_jpeg_context* mc_jpeg_create() noexcept {
  try {
    auto* context = new mc_jpeg_context;
    jpeg_decompress_struct* source = context->source.get();
    if (!guarded(context->transformErrors, [&] {
          // Keep every APPn and COM marker in full for the crop to copy.
          jpeg_save_markers(source, JPEG_COM, 0xFFFF);
          for (int m = 0; m < 16; ++m) jpeg_save_markers(source, JPEG_APP0 + m, 0xFFFF);
        })) {
      delete context;
      return nullptr;
    }
    return context;
  } catch (...) {
    return nullptr;
  }
}

void mc_jpeg_destroy(mc_jpeg_context* context) noexcept { delete context; }

void mc_jpeg_free(std::uint8_t* buffer) noexcept { std::free(buffer); }

int mc_jpeg_header(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize,
                   mc_jpeg_header_info* header, char* message, std::size_t messageSize) noexcept {
  if (context == nullptr) return fail(message, messageSize, kNoContext);
  if (jpeg == nullptr || jpegSize == 0 || header == nullptr) {
    return fail(message, messageSize, "mc_jpeg_header(): Invalid argument");
  }
  jpeg_decompress_struct* in = context->source.get();
  libjpeg::ErrorManager& errors = context->transformErrors;
  libjpeg::Sampling sampling;
  const bool ok = guarded(errors, [&] {
    jpeg_mem_src(in, jpeg, jpegSize);
    jpeg_read_header(in, TRUE);
    sampling = libjpeg::classifySampling(*in);
  });
  const auto width = static_cast<std::int32_t>(in->image_width);
  const auto height = static_cast<std::int32_t>(in->image_height);
  jpeg_abort_decompress(in);
  if (!ok) {
    fail(message, messageSize, errors.message);
    return errors.lastCode == JERR_EMPTY_IMAGE ? mc_jpeg_empty_frame : -1;
  }
  if (sampling.code < 0) return fail(message, messageSize, kUnsupportedSampling);
  *header = {width, height, sampling.code, sampling.mcuWidth, sampling.mcuHeight};
  return 0;
}

namespace {

// One attempt at the crop; `streaming` lets single-scan images go through
// the coefficient stream. Returns 0, −1 with the message, or 1 when the
// crop must be redone without streaming.
int cropOnce(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize, int x, int y,
             int width, int height, bool streaming, std::uint8_t** output, std::size_t* outputSize,
             char* message, std::size_t messageSize) {
  jpeg_decompress_struct* in = context->source.get();
  jpeg_compress_struct* out = context->destination.get();
  libjpeg::ErrorManager& errors = context->transformErrors;
  libjpeg::MallocDestination destination{};
  libjpeg::CoefficientStream& stream = context->stream;
  enum class Refusal { none, sampling, alignment, region, redo } refusal = Refusal::none;
  libjpeg::Sampling sampling;
  long long imageWidth = 0, imageHeight = 0;
  ShiftedCoefficients shifted;

  const bool ok = guarded(errors, [&] {
    stream.attach(in, jpeg, jpegSize);
    jpeg_read_header(in, TRUE);
    imageWidth = in->image_width;
    imageHeight = in->image_height;
    sampling = libjpeg::classifySampling(*in);
    if (sampling.code < 0) {
      refusal = Refusal::sampling;
      return;
    }
    // MCU alignment: a lossless crop can only start on an MCU boundary.
    if (x % sampling.mcuWidth != 0 || y % sampling.mcuHeight != 0) {
      refusal = Refusal::alignment;
      return;
    }
    if (x < 0 || y < 0 || width < 1 || height < 1 || x > imageWidth - width ||
        y > imageHeight - height) {
      refusal = Refusal::region;
      return;
    }
    streaming = streaming && libjpeg::CoefficientStream::canStream(in);
    jvirt_barray_ptr* coefficients =
        streaming ? stream.begin(static_cast<JDIMENSION>(x), static_cast<JDIMENSION>(y),
                                 static_cast<JDIMENSION>(width), static_cast<JDIMENSION>(height))
                  : jpeg_read_coefficients(in);
    jpeg_copy_critical_parameters(in, out);
    out->image_width = static_cast<JDIMENSION>(width);
    out->image_height = static_cast<JDIMENSION>(height);
    // A single component is never interleaved; writing it as 1×1 keeps
    // its 8 × 8 block grid whatever factors the source declared.
    if (out->num_components == 1)
      out->comp_info[0].h_samp_factor = out->comp_info[0].v_samp_factor = 1;
    // As jpegtran and TurboJPEG do: a file that opens with an Exif APP1 gets
    // no JFIF APP0, and that segment's pixel dimensions are rewritten.
    if (startsWithExif(in)) {
      out->write_JFIF_header = FALSE;
      if (out->image_width != in->image_width || out->image_height != in->image_height) {
        exif::setPixelDimensionsAsTransformed(in->marker_list->data + 6,
                                              in->marker_list->data_length - 6, out->image_width,
                                              out->image_height);
      }
    }

    // Output is at most about the cropped share of the input; grown if not.
    const double share =
        static_cast<double>(width) * height / static_cast<double>(imageWidth * imageHeight);
    destination.attach(
        out, static_cast<std::size_t>(static_cast<double>(jpegSize) * share * 1.1) + 65536);
    shiftAccess(in, out, coefficients, static_cast<JDIMENSION>(x / sampling.mcuWidth),
                static_cast<JDIMENSION>(y / sampling.mcuHeight), shifted);
    jpeg_write_coefficients(out, coefficients);
    copyMarkers(in, out);
    jpeg_finish_compress(out);
    if (streaming && !stream.finish()) {
      refusal = Refusal::redo;
      return;
    }
    jpeg_finish_decompress(in);
  });
  restoreAccess(out, shifted);
  jpeg_abort_compress(out);
  jpeg_abort_decompress(in);
  stream.detach();
  out->dest = nullptr;

  if (!ok || refusal != Refusal::none) destination.discard();
  if (!ok) return fail(message, messageSize, errors.message);
  switch (refusal) {
    case Refusal::sampling:
      return fail(message, messageSize, kUnsupportedSampling);
    case Refusal::alignment:
      return failf(message, messageSize,
                   "mc_jpeg_crop(): To crop this JPEG image, x must be a multiple of %d\n"
                   "and y must be a multiple of %d.",
                   sampling.mcuWidth, sampling.mcuHeight);
    case Refusal::region:
      return failf(
          message, messageSize,
          "mc_jpeg_crop(): The crop region %dx%d+%d+%d must lie inside the %lldx%lld image.", width,
          height, x, y, imageWidth, imageHeight);
    case Refusal::redo:
      return 1;
    case Refusal::none:
      break;
  }
  *outputSize = destination.size;
  *output = destination.release();
  return 0;
}

}  // namespace

int mc_jpeg_crop(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize, int x,
                 int y, int width, int height, std::uint8_t** output, std::size_t* outputSize,
                 char* message, std::size_t messageSize) noexcept {
  if (output != nullptr) *output = nullptr;
  if (outputSize != nullptr) *outputSize = 0;
  if (context == nullptr) return fail(message, messageSize, kNoContext);
  if (jpeg == nullptr || jpegSize == 0 || output == nullptr || outputSize == nullptr) {
    return fail(message, messageSize, "mc_jpeg_crop(): Invalid argument");
  }
  const int result = cropOnce(context, jpeg, jpegSize, x, y, width, height, true, output,
                              outputSize, message, messageSize);
  if (result <= 0) return result;
  return cropOnce(context, jpeg, jpegSize, x, y, width, height, false, output, outputSize, message,
                  messageSize);
}

int mc_jpeg_gray_roi(mc_jpeg_context* context, const std::uint8_t* jpeg, std::size_t jpegSize,
                     int x, int y, int width, int height, int scaleDenominator,
                     std::uint8_t** pixels, int* outWidth, int* outHeight, char* message,
                     std::size_t messageSize) noexcept {
  if (pixels != nullptr) *pixels = nullptr;
  if (outWidth != nullptr) *outWidth = 0;
  if (outHeight != nullptr) *outHeight = 0;
  if (context == nullptr || (scaleDenominator != 1 && scaleDenominator != 2 &&
                             scaleDenominator != 4 && scaleDenominator != 8)) {
    return -1;
  }
  if (jpeg == nullptr || jpegSize == 0 || pixels == nullptr || outWidth == nullptr ||
      outHeight == nullptr) {
    return fail(message, messageSize, "mc_jpeg_gray_roi(): Invalid argument");
  }
  jpeg_decompress_struct* in = context->decoder.get();
  libjpeg::ErrorManager& errors = context->decodeErrors;
  libjpeg::Sampling sampling;
  long long imageWidth = 0, imageHeight = 0;
  if (!guarded(errors, [&] {
        jpeg_mem_src(in, jpeg, jpegSize);
        jpeg_read_header(in, TRUE);
        imageWidth = in->image_width;
        imageHeight = in->image_height;
        sampling = libjpeg::classifySampling(*in);
      })) {
    jpeg_abort_decompress(in);
    return fail(message, messageSize, errors.message);
  }
  if (x < 0 || y < 0 || width < 1 || height < 1 || width > imageWidth - x ||
      height > imageHeight - y || sampling.code < 0) {
    jpeg_abort_decompress(in);
    return fail(message, messageSize, kInvalidRegion);
  }

  // The patch starts on a scaled MCU column (where the decoder can start a
  // row) and covers the requested region rounded outwards at this scale.
  const long long d = scaleDenominator;
  const long long m = (sampling.mcuWidth + d - 1) / d;
  const long long left = (x / d) / m * m;
  const long long right = (x + static_cast<long long>(width) + d - 1) / d;
  const long long top = y / d;
  const long long bottom = (y + static_cast<long long>(height) + d - 1) / d;
  const long long patchWidth = right - left;
  const long long patchHeight = bottom - top;
  if (patchWidth > kMaxPatchSide || patchHeight > kMaxPatchSide) {
    jpeg_abort_decompress(in);
    return failf(message, messageSize,
                 "mc_jpeg_gray_roi(): A %lldx%lld patch exceeds the 4096x4096 limit.", patchWidth,
                 patchHeight);
  }
  auto* buffer =
      static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(patchWidth * patchHeight)));
  if (buffer == nullptr) {
    jpeg_abort_decompress(in);
    return fail(message, messageSize, "mc_jpeg_gray_roi(): Memory allocation failed");
  }

  bool widened = false;
  const bool ok = guarded(errors, [&] {
    in->out_color_space = JCS_GRAYSCALE;
    in->scale_num = 1;
    in->scale_denom = static_cast<unsigned>(d);
    jpeg_start_decompress(in);
    auto columnStart = static_cast<JDIMENSION>(left);
    auto columns = static_cast<JDIMENSION>(patchWidth);
    if (columns < in->output_width) jpeg_crop_scanline(in, &columnStart, &columns);
    // libjpeg may move the start further left; the extra columns are
    // dropped row by row below.
    const JDIMENSION skew = static_cast<JDIMENSION>(left) - columnStart;
    if (columnStart > left || columns < skew + patchWidth) {
      widened = true;
      return;
    }
    if (top > 0) jpeg_skip_scanlines(in, static_cast<JDIMENSION>(top));
    JSAMPROW scratch = nullptr;
    if (skew != 0 || columns != patchWidth) {
      scratch =
          (*in->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(in), JPOOL_IMAGE, columns, 1)[0];
    }
    for (long long row = 0; row < patchHeight; ++row) {
      JSAMPROW target = scratch != nullptr ? scratch : buffer + row * patchWidth;
      if (jpeg_read_scanlines(in, &target, 1) != 1) ERREXIT(in, JERR_INPUT_EOF);
      if (scratch != nullptr) {
        std::memcpy(buffer + row * patchWidth, scratch + skew,
                    static_cast<std::size_t>(patchWidth));
      }
    }
  });
  jpeg_abort_decompress(in);
  if (!ok || widened) {
    std::free(buffer);
    return ok ? fail(message, messageSize, "mc_jpeg_gray_roi(): Unexpected decoder crop")
              : fail(message, messageSize, errors.message);
  }
  *pixels = buffer;
  *outWidth = static_cast<int>(patchWidth);
  *outHeight = static_cast<int>(patchHeight);
  return 0;
}

int mc_jpeg_repair_exif(std::uint8_t* jpeg, std::size_t jpegSize, int width, int height) noexcept {
  return exif::repairDimensions(jpeg, jpegSize, width, height);
}

}  // namespace kestrel
