// SPDX-License-Identifier: MIT
#include "tests/jpeg/jpeg_test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/base/crop_error.h"
#include "core/jpeg/detail/libjpeg_support.h"
#include "tests/support/test_support.h"

namespace kestrel::jpegtest {

namespace {

ByteVector texture(int width, int height, int components) {
  ByteVector pixels(static_cast<std::size_t>(width) * height * components);
  std::size_t i = 0;
  for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(height); ++y) {
    for (std::uint32_t x = 0; x < static_cast<std::uint32_t>(width); ++x) {
      for (std::uint32_t c = 0; c < static_cast<std::uint32_t>(components); ++c) {
        std::uint32_t noise = (x * 73856093U ^ y * 19349663U ^ c * 83492791U) * 0x7feb352dU;
        noise ^= noise >> 15;
        const std::uint32_t edge = ((x / 24 + y / 16) % 2) * 60;  // hard edges every few MCUs
        pixels[i++] = static_cast<std::uint8_t>(x * (2 + c) + y * (3 - c % 2) + edge + noise % 48);
      }
    }
  }
  return pixels;
}

void put(ByteVector& out, std::size_t at, std::uint32_t value, int bytes, bool le) {
  for (int i = 0; i < bytes; ++i) {
    out[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(value >> (le ? 8 * i : 8 * (bytes - 1 - i)));
  }
}

}  // namespace

ByteVector makeJPEG(const JPEGOptions& options, const ByteVector& given) {
  const int components = options.cmyk ? 4 : static_cast<int>(options.factors.size());
  const ByteVector pixels =
      given.empty() ? texture(options.width, options.height, components) : given;
  libjpeg::ErrorManager errors(true);
  libjpeg::CompressHandle encoder(errors);
  jpeg_compress_struct* out = encoder.get();
  libjpeg::MallocDestination destination{};
  const bool ok = libjpeg::guarded(errors, [&] {
    out->image_width = static_cast<JDIMENSION>(options.width);
    out->image_height = static_cast<JDIMENSION>(options.height);
    out->input_components = components;
    out->in_color_space = options.cmyk ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(out);
    jpeg_set_quality(out, options.quality, TRUE);
    for (std::size_t c = 0; c < options.factors.size(); ++c) {
      out->comp_info[c].h_samp_factor = options.factors[c].first;
      out->comp_info[c].v_samp_factor = options.factors[c].second;
    }
    if (options.progressive) jpeg_simple_progression(out);
    out->restart_in_rows = options.restartRows;
    out->write_JFIF_header = options.writeJFIF ? TRUE : FALSE;
    destination.attach(out, 65536);
    jpeg_start_compress(out, TRUE);
    for (const Marker& m : options.markers) {
      jpeg_write_marker(out, m.code, m.payload.data(), static_cast<unsigned>(m.payload.size()));
    }
    const std::size_t stride = static_cast<std::size_t>(options.width) * components;
    while (out->next_scanline < out->image_height) {
      auto* row = const_cast<std::uint8_t*>(pixels.data() + out->next_scanline * stride);
      jpeg_write_scanlines(out, &row, 1);
    }
    jpeg_finish_compress(out);
  });
  const ByteVector result =
      ok ? ByteVector(destination.buffer, destination.buffer + destination.size) : ByteVector{};
  destination.discard();
  if (!ok) throw std::runtime_error(std::string("makeJPEG: ") + errors.message);
  return result;
}

ByteVector withFrameSize(ByteVector jpeg, int width, int height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      put(jpeg, i + 5, static_cast<std::uint32_t>(height), 2, false);
      put(jpeg, i + 7, static_cast<std::uint32_t>(width), 2, false);
      return jpeg;
    }
  }
  throw std::runtime_error("no SOF");
}

ByteVector segment(std::span<const std::uint8_t> jpeg, int code) {
  for (std::size_t pos = 2; pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF;) {
    const std::size_t length = std::size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
    if (jpeg[pos + 1] == 0xDA || pos + 2 + length > jpeg.size()) break;
    if (jpeg[pos + 1] == code) return {jpeg.begin() + pos + 4, jpeg.begin() + pos + 2 + length};
    pos += 2 + length;
  }
  return {};
}

Decoded decode(std::span<const std::uint8_t> jpeg, DecodeAs as, int denominator) {
  libjpeg::ErrorManager errors(true);
  libjpeg::DecompressHandle decoder(errors);
  jpeg_decompress_struct* in = decoder.get();
  Decoded result;
  const bool ok = libjpeg::guarded(errors, [&] {
    jpeg_mem_src(in, jpeg.data(), jpeg.size());
    jpeg_read_header(in, TRUE);
    const bool gray = as == DecodeAs::gray || in->jpeg_color_space == JCS_GRAYSCALE;
    in->out_color_space = gray ? JCS_GRAYSCALE : as == DecodeAs::ycc ? JCS_YCbCr : JCS_RGB;
    in->do_fancy_upsampling = FALSE;
    in->scale_denom = static_cast<unsigned>(denominator);
    jpeg_start_decompress(in);
    result.width = static_cast<int>(in->output_width);
    result.height = static_cast<int>(in->output_height);
    result.components = in->output_components;
    const std::size_t stride = static_cast<std::size_t>(result.width) * result.components;
    result.pixels.resize(stride * result.height);
    while (in->output_scanline < in->output_height) {
      JSAMPROW row = result.pixels.data() + in->output_scanline * stride;
      jpeg_read_scanlines(in, &row, 1);
    }
    jpeg_finish_decompress(in);
  });
  if (!ok) throw std::runtime_error(std::string("decode: ") + errors.message);
  return result;
}

int differingRows(const Decoded& part, const Decoded& full, int x, int y) {
  int rows = 0;
  for (int row = 0; row < part.height; ++row) {
    rows += std::memcmp(part.at(0, row), full.at(x, y + row),
                        static_cast<std::size_t>(part.width) * part.components) != 0;
  }
  return rows;
}

ByteVector makeExif(const TiffOptions& options) {
  const bool le = options.littleEndian;
  std::vector<Entry> ifd0 = options.ifd0;
  const std::size_t exifIFD = 8 + 2 + 12 * (ifd0.size() + 1) + 4;
  if (!options.exifIFD.empty()) ifd0.push_back({0x8769, 4, 1, static_cast<std::uint32_t>(exifIFD)});
  const std::size_t ifd1 = 8 + 2 + 12 * ifd0.size() + 4 +
                           (options.exifIFD.empty() ? 0 : 2 + 12 * options.exifIFD.size() + 4);
  const auto thumbnail = static_cast<std::uint32_t>(ifd1 + 2 + 3 * 12 + 4);
  ByteVector tiff(thumbnail + 16, 0);
  tiff[0] = tiff[1] = le ? 'I' : 'M';
  put(tiff, 2, 42, 2, le);
  put(tiff, 4, 8, 4, le);
  const auto writeIFD = [&](std::size_t at, const std::vector<Entry>& entries, std::size_t next) {
    put(tiff, at, static_cast<std::uint32_t>(entries.size()), 2, le);
    for (const Entry& e : entries) {
      put(tiff, at + 2, e.tag, 2, le);
      put(tiff, at + 4, e.type, 2, le);
      put(tiff, at + 6, e.count, 4, le);
      put(tiff, at + 10, e.value, e.type == 3 && e.count == 1 ? 2 : 4, le);  // left-justified
      at += 12;
    }
    put(tiff, at + 2, static_cast<std::uint32_t>(next), 4, le);
  };
  writeIFD(8, ifd0, options.linkIFD1 ? ifd1 : 0);
  if (!options.exifIFD.empty()) writeIFD(exifIFD, options.exifIFD, 0);
  writeIFD(ifd1, {{0x0103, 3, 1, 6}, {0x0201, 4, 1, thumbnail}, {0x0202, 4, 1, 16}}, 0);
  std::memcpy(tiff.data() + thumbnail, "THUMBNAIL-BYTES!", 16);
  ByteVector payload(6 + tiff.size(), 0);
  std::memcpy(payload.data(), "Exif", 4);
  std::copy(tiff.begin(), tiff.end(), payload.begin() + 6);
  return payload;
}

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

ByteVector readBytes(const std::filesystem::path& path) {
  const std::string data = testing::readFile(path);
  return ByteVector(data.begin(), data.end());
}

void writeBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
  testing::writeFile(path, {reinterpret_cast<const char*>(data.data()), data.size()});
}

std::optional<std::string> run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

bool haveTool(const std::string& name) {
  return run("command -v " + name + " >/dev/null").has_value();
}

std::string quote(const std::filesystem::path& path) {
  std::string quoted = "'";
  for (const char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace kestrel::jpegtest
