// SPDX-License-Identifier: MIT
#include "tests/jpeg/jpeg_test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "core/jpeg/libjpeg_support.h"

namespace kestrel::jpegtest {

namespace {

std::uint32_t hash(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

int componentsOf(const SyntheticSpec& spec) {
  return spec.cmyk ? 4 : static_cast<int>(spec.factors.size());
}

}  // namespace

std::vector<Factors> factorsFor(int code) {
  switch (code) {
    case 0:
      return {{1, 1}, {1, 1}, {1, 1}};
    case 1:
      return {{2, 1}, {1, 1}, {1, 1}};
    case 2:
      return {{2, 2}, {1, 1}, {1, 1}};
    case 3:
      return {{1, 1}};
    case 4:
      return {{1, 2}, {1, 1}, {1, 1}};
    case 5:
      return {{4, 1}, {1, 1}, {1, 1}};
    case 6:
      return {{1, 4}, {1, 1}, {1, 1}};
    default:
      throw std::invalid_argument("no such subsampling code");
  }
}

ByteVector syntheticPixels(const SyntheticSpec& spec) {
  const int components = componentsOf(spec);
  ByteVector pixels(static_cast<std::size_t>(spec.width) * spec.height * components);
  std::size_t i = 0;
  for (int y = 0; y < spec.height; ++y) {
    for (int x = 0; x < spec.width; ++x) {
      for (int c = 0; c < components; ++c) {
        const std::uint32_t noise = hash(static_cast<std::uint32_t>(x) * 73856093U ^
                                         static_cast<std::uint32_t>(y) * 19349663U ^
                                         static_cast<std::uint32_t>(c) * 83492791U ^ spec.seed);
        const int edge = ((x / 24 + y / 16) % 2) * 60;  // hard edges every few MCUs
        pixels[i++] =
            static_cast<std::uint8_t>((x * (2 + c) + y * (3 - c % 2) + edge + noise % 48) & 255);
      }
    }
  }
  return pixels;
}

ByteVector makeJPEG(const SyntheticSpec& spec) {
  return makeJPEGFromPixels(spec, syntheticPixels(spec));
}

ByteVector makeJPEGFromPixels(const SyntheticSpec& spec, const ByteVector& pixels) {
  const int components = componentsOf(spec);
  libjpeg::ErrorManager errors(true);
  libjpeg::CompressHandle encoder(errors);
  jpeg_compress_struct* out = encoder.get();
  libjpeg::MallocDestination destination{};
  const bool ok = libjpeg::guarded(errors, [&] {
    out->image_width = static_cast<JDIMENSION>(spec.width);
    out->image_height = static_cast<JDIMENSION>(spec.height);
    out->input_components = components;
    out->in_color_space = spec.cmyk ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(out);
    jpeg_set_quality(out, spec.quality, TRUE);
    for (int c = 0; c < components && c < static_cast<int>(spec.factors.size()); ++c) {
      out->comp_info[c].h_samp_factor = spec.factors[c].h;
      out->comp_info[c].v_samp_factor = spec.factors[c].v;
    }
    if (spec.progressive) jpeg_simple_progression(out);
    out->restart_in_rows = spec.restartRows;
    out->write_JFIF_header = spec.writeJFIF ? TRUE : FALSE;
    destination.attach(out, 65536);
    jpeg_start_compress(out, TRUE);
    for (const Marker& m : spec.markers) {
      jpeg_write_marker(out, m.code, m.payload.data(), static_cast<unsigned>(m.payload.size()));
    }
    const std::size_t stride = static_cast<std::size_t>(spec.width) * components;
    while (out->next_scanline < out->image_height) {
      auto* row = const_cast<std::uint8_t*>(pixels.data() + out->next_scanline * stride);
      jpeg_write_scanlines(out, &row, 1);
    }
    jpeg_finish_compress(out);
  });
  if (!ok) {
    destination.discard();
    throw std::runtime_error(std::string("makeJPEG: ") + errors.message);
  }
  ByteVector result(destination.buffer, destination.buffer + destination.size);
  destination.discard();
  return result;
}

Decoded decode(std::span<const std::uint8_t> jpeg, DecodeAs as, int denominator) {
  libjpeg::ErrorManager errors(true);
  libjpeg::DecompressHandle decoder(errors);
  jpeg_decompress_struct* in = decoder.get();
  Decoded result;
  if (!libjpeg::guarded(errors, [&] {
        jpeg_mem_src(in, jpeg.data(), jpeg.size());
        jpeg_read_header(in, TRUE);
        const bool gray = in->jpeg_color_space == JCS_GRAYSCALE;
        in->out_color_space = as == DecodeAs::gray || gray ? JCS_GRAYSCALE
                              : as == DecodeAs::ycc        ? JCS_YCbCr
                                                           : JCS_RGB;
        in->do_fancy_upsampling = FALSE;
        in->scale_num = 1;
        in->scale_denom = static_cast<unsigned>(denominator);
        jpeg_start_decompress(in);
      })) {
    throw std::runtime_error(std::string("decode: ") + errors.message);
  }
  result.width = static_cast<int>(in->output_width);
  result.height = static_cast<int>(in->output_height);
  result.components = in->output_components;
  const std::size_t stride = static_cast<std::size_t>(result.width) * result.components;
  result.pixels.resize(stride * result.height);
  if (!libjpeg::guarded(errors, [&] {
        while (in->output_scanline < in->output_height) {
          JSAMPROW row = result.pixels.data() + in->output_scanline * stride;
          jpeg_read_scanlines(in, &row, 1);
        }
        jpeg_finish_decompress(in);
      })) {
    throw std::runtime_error(std::string("decode: ") + errors.message);
  }
  return result;
}

namespace {

void put(ByteVector& out, std::size_t at, std::uint32_t value, int bytes, bool le) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = le ? 8 * i : 8 * (bytes - 1 - i);
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> shift);
  }
}

void putEntry(ByteVector& tiff, std::size_t at, const Entry& e, bool le) {
  put(tiff, at, e.tag, 2, le);
  put(tiff, at + 2, e.type, 2, le);
  put(tiff, at + 4, e.count, 4, le);
  if (e.type == 3 && e.count == 1) {
    put(tiff, at + 8, e.value, 2, le);
  } else {
    put(tiff, at + 8, e.value, 4, le);
  }
}

std::size_t ifdSize(std::size_t entries) { return 2 + 12 * entries + 4; }

}  // namespace

TiffLayout makeExif(const TiffSpec& spec) {
  const bool le = spec.littleEndian;
  std::vector<Entry> ifd0 = spec.ifd0;
  TiffLayout layout;
  layout.ifd0 = 8;
  const bool sub = !spec.exifIFD.empty();
  if (sub) ifd0.push_back({0x8769, 4, 1, 0});  // value filled below
  std::size_t end = layout.ifd0 + ifdSize(ifd0.size());
  if (sub) {
    layout.exifIFD = end;
    ifd0.back().value = static_cast<std::uint32_t>(end);
    end += ifdSize(spec.exifIFD.size());
  }
  std::vector<Entry> ifd1;
  if (spec.withIFD1) {
    layout.ifd1 = end;
    end += ifdSize(3);
    layout.thumbnail = end;
    ifd1 = {{0x0103, 3, 1, 6},
            {0x0201, 4, 1, static_cast<std::uint32_t>(layout.thumbnail)},
            {0x0202, 4, 1, 16}};
    end += 16;
  }
  ByteVector tiff(end, 0);
  tiff[0] = tiff[1] = le ? 'I' : 'M';
  put(tiff, 2, 42, 2, le);
  put(tiff, 4, static_cast<std::uint32_t>(layout.ifd0), 4, le);
  const auto writeIFD = [&](std::size_t at, const std::vector<Entry>& entries, std::size_t next) {
    put(tiff, at, static_cast<std::uint32_t>(entries.size()), 2, le);
    for (std::size_t i = 0; i < entries.size(); ++i)
      putEntry(tiff, at + 2 + 12 * i, entries[i], le);
    put(tiff, at + 2 + 12 * entries.size(), static_cast<std::uint32_t>(next), 4, le);
  };
  writeIFD(layout.ifd0, ifd0, layout.ifd1);
  if (sub) writeIFD(layout.exifIFD, spec.exifIFD, 0);
  if (spec.withIFD1) {
    writeIFD(layout.ifd1, ifd1, 0);
    const char thumb[] = "THUMBNAIL-BYTES!";
    std::copy(thumb, thumb + 16, tiff.begin() + static_cast<std::ptrdiff_t>(layout.thumbnail));
  }
  layout.payload = {'E', 'x', 'i', 'f', 0, 0};
  layout.payload.insert(layout.payload.end(), tiff.begin(), tiff.end());
  return layout;
}

std::uint32_t tiffValue(std::span<const std::uint8_t> tiff, std::size_t at, int bytes, bool le) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const int shift = le ? 8 * i : 8 * (bytes - 1 - i);
    value |= static_cast<std::uint32_t>(tiff[at + static_cast<std::size_t>(i)]) << shift;
  }
  return value;
}

std::vector<Marker> markersOf(std::span<const std::uint8_t> jpeg) {
  std::vector<Marker> markers;
  std::size_t pos = 2;
  while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
    const int code = jpeg[pos + 1];
    if (code == 0xDA || code == 0xD9) break;
    const std::size_t length = std::size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
    if (length < 2 || pos + 2 + length > jpeg.size()) break;
    markers.push_back(
        {code, ByteVector(jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                          jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length))});
    pos += 2 + length;
  }
  return markers;
}

ByteVector readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  ByteVector data(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return data;
}

void writeBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool haveTool(const std::string& name) {
  return run("command -v " + name + " >/dev/null 2>&1").has_value();
}

std::optional<std::string> run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

std::string quote(const std::filesystem::path& path) {
  std::string quoted = "'";
  for (const char c : path.string()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace kestrel::jpegtest
