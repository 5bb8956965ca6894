// SPDX-License-Identifier: MIT
#include "core/jpeg/image_preparation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <variant>
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

// Area averaging (a box filter with exact fractional coverage) from a
// source size to a smaller or equal target size, fed one source row at a
// time so that the decoded picture is never held whole. In integer units
// where a source pixel is `dst` long and a target pixel `src` long, each
// source column or row overlaps at most two target ones; every target
// value is the weighted sum divided by srcWidth × srcHeight, rounded.
//
// Rows are summed first: each source row is added, weighted, into the
// column sums of the one or two target rows it overlaps (straight-line,
// vectorisable work), and a target row's columns are combined only once,
// when it is complete. The sums are exact integers, so the order changes
// nothing in the result. `Sum` holds a finished sum: 32 bits whenever
// 255 × srcWidth × srcHeight fits, 64 bits otherwise; a column sum is at
// most 255 × srcHeight and always fits 32 bits.
// sums[i] += values[i] × weight. Built for AVX2 as well (chosen at run time
// where the processor has it): the loop runs once per decoded row and
// channel value, and AVX2 multiplies eight 32-bit lanes at a time.
__attribute__((target_clones("avx2", "default"))) void addWeighted(std::uint32_t* sums,
                                                                   const std::uint8_t* values,
                                                                   std::size_t count,
                                                                   std::uint32_t weight) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += values[i] * weight;
}

template <typename Sum>
class AreaResampler {
 public:
  AreaResampler(int srcWidth, int srcHeight, int dstWidth, int dstHeight, std::uint8_t* out)
      : srcHeight_(srcHeight),
        dstWidth_(dstWidth),
        dstHeight_(dstHeight),
        out_(out),
        current_(std::size_t(srcWidth) * 3),
        next_(current_.size()),
        divide_(std::uint64_t(srcWidth) * std::uint64_t(srcHeight)) {
    // Source column sx covers [sx·dst, (sx+1)·dst); target column t covers
    // [t·src, (t+1)·src). Each target column takes a contiguous run of
    // source columns, the first and last of them possibly in part.
    std::int64_t sx = 0;
    for (std::int64_t t = 0; t < dstWidth; ++t) {
      const std::int64_t begin = t * srcWidth, end = begin + srcWidth;
      while ((sx + 1) * dstWidth <= begin) ++sx;
      spans_.push_back(
          {static_cast<std::uint32_t>(sx), static_cast<std::uint32_t>(weights_.size())});
      for (std::int64_t s = sx; s < srcWidth && s * dstWidth < end; ++s) {
        const std::int64_t overlap =
            std::min(end, (s + 1) * dstWidth) - std::max(begin, s * dstWidth);
        weights_.push_back(static_cast<std::uint32_t>(overlap));
      }
    }
    spans_.push_back({0, static_cast<std::uint32_t>(weights_.size())});
  }

  void addRow(const std::uint8_t* rgb) {
    const std::int64_t begin = std::int64_t{row_} * dstHeight_;
    const std::int64_t end = begin + dstHeight_;
    const std::int64_t boundary = (std::int64_t{target_} + 1) * srcHeight_;
    const auto first = static_cast<std::uint32_t>(std::min(end, boundary) - begin);
    accumulate(current_, rgb, first);
    if (end >= boundary) {
      emit();
      std::swap(current_, next_);
      std::fill(next_.begin(), next_.end(), 0u);
      if (end > boundary) accumulate(current_, rgb, static_cast<std::uint32_t>(end - boundary));
    }
    ++row_;
  }

 private:
  struct Span {
    std::uint32_t firstColumn;  // the first source column of a target column
    std::uint32_t firstWeight;  // where its weights start in weights_
  };

  // Rounded division by one constant divisor d through a multiplication
  // (Granlund and Montgomery): with L = ⌈log2 d⌉ and m = ⌊2^(N+L) / d⌋ + 1,
  // ⌊n / d⌋ = ⌊n·m / 2^(N+L)⌋ for every n < 2^N. N = 48 covers every sum
  // (at most 256 × d, and d is at most four times the target's pixels).
  struct ExactDivision {
    __extension__ using Wide = unsigned __int128;
    static constexpr int kNumeratorBits = 48;
    explicit ExactDivision(std::uint64_t d) : divisor(d) {
      int bits = 0;
      while ((std::uint64_t{1} << bits) < d) ++bits;
      shift = kNumeratorBits + bits;
      multiplier = static_cast<std::uint64_t>((Wide{1} << shift) / d) + 1;
    }
    std::uint64_t rounded(std::uint64_t sum) const {
      const std::uint64_t n = sum + divisor / 2;
      return static_cast<std::uint64_t>((Wide{n} * multiplier) >> shift);
    }
    std::uint64_t divisor;
    std::uint64_t multiplier = 0;
    int shift = 0;
  };

  static void accumulate(std::vector<std::uint32_t>& into, const std::uint8_t* rgb,
                         std::uint32_t weight) {
    addWeighted(into.data(), rgb, into.size(), weight);
  }

  // Combines the finished target row's column sums across and writes it.
  void emit() {
    if (target_ >= dstHeight_) return;
    std::uint8_t* row = out_ + std::size_t(target_) * std::size_t(dstWidth_) * 3;
    for (int t = 0; t < dstWidth_; ++t, row += 3) {
      const std::uint32_t* column = current_.data() + 3 * std::size_t(spans_[t].firstColumn);
      const std::uint32_t* w = weights_.data() + spans_[t].firstWeight;
      const std::uint32_t* last = weights_.data() + spans_[t + 1].firstWeight;
      Sum r = 0, g = 0, b = 0;
      for (; w != last; ++w, column += 3) {
        r += Sum{column[0]} * *w;
        g += Sum{column[1]} * *w;
        b += Sum{column[2]} * *w;
      }
      row[0] = static_cast<std::uint8_t>(divide_.rounded(r));
      row[1] = static_cast<std::uint8_t>(divide_.rounded(g));
      row[2] = static_cast<std::uint8_t>(divide_.rounded(b));
    }
    ++target_;
  }

  int srcHeight_, dstWidth_, dstHeight_;
  std::uint8_t* out_;
  std::vector<Span> spans_;  // one per target column, and one past the end
  std::vector<std::uint32_t> weights_;
  std::vector<std::uint32_t> current_, next_;  // column sums of this and the next target row
  ExactDivision divide_;
  int row_ = 0;
  int target_ = 0;
};

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

ImagePreparation::AnalysisImage decodeThumbnail(const ImageSource& source, std::int64_t longEdge) {
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
  // Which accumulator the sums fit; monostate when the decode is the target size.
  std::variant<std::monostate, AreaResampler<std::uint32_t>, AreaResampler<std::uint64_t>>
      resampler;
  if (resample && 255 * std::uint64_t(width) * std::uint64_t(height) <= UINT32_MAX) {
    resampler.emplace<1>(width, height, stored.width, stored.height, stored.pixels.data());
  } else if (resample) {
    resampler.emplace<2>(width, height, stored.width, stored.height, stored.pixels.data());
  }

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
      if (resample) {
        std::visit(
            [row](auto& r) {
              if constexpr (!std::is_same_v<std::decay_t<decltype(r)>, std::monostate>)
                r.addRow(row);
            },
            resampler);
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
  ImagePreparation::AnalysisImage result{std::move(stored), std::nullopt};
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

AnalysisImage analysisThumbnail(const ImageSource& source, std::int64_t longEdge) {
  if (longEdge < 1 || source.data.empty()) throw CropError(kNoThumbnail);
  try {
    AnalysisImage decoded = decodeThumbnail(source, longEdge);
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
