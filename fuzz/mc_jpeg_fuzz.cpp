// SPDX-License-Identifier: MIT
// libFuzzer target for the mc_jpeg codec layer and the EXIF walker: any
// byte string, plus a region taken from its last bytes, goes through
// header, crop, grayscale region, EXIF repair and the Orientation reader.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "core/jpeg/detail/exif.h"
#include "core/jpeg/detail/mc_jpeg.h"

namespace {

kestrel::mc_jpeg_context* context() {
  static kestrel::mc_jpeg_context* shared = kestrel::mc_jpeg_create();
  return shared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  FuzzedDataProvider provider(data, size);
  const int x = provider.ConsumeIntegralInRange(0, 4096);
  const int y = provider.ConsumeIntegralInRange(0, 4096);
  const int w = provider.ConsumeIntegralInRange(-1, 4096);
  const int h = provider.ConsumeIntegralInRange(-1, 4096);
  const int scale = provider.ConsumeIntegralInRange(1, 2);
  // The JPEG is exactly the remaining bytes, in a buffer of its own size so
  // that ASan sees any access past its end.
  const std::vector<std::uint8_t> jpeg = provider.ConsumeRemainingBytes<std::uint8_t>();

  std::vector<std::uint8_t> editable = jpeg;
  mc_jpeg_repair_exif(editable.data(), editable.size(), w, h);
  (void)exif::orientation(jpeg);

  char message[256];
  mc_jpeg_header_info info{};
  if (mc_jpeg_header(context(), jpeg.data(), jpeg.size(), &info, message, sizeof message) != 0) {
    return 0;
  }
  // Keep each run fast: only small frames are decoded.
  if (static_cast<long long>(info.width) * info.height > 4'000'000) return 0;
  std::uint8_t* out = nullptr;
  std::size_t outSize = 0;
  const int cx = info.mcuWidth > 0 ? x / info.mcuWidth * info.mcuWidth : x;
  const int cy = info.mcuHeight > 0 ? y / info.mcuHeight * info.mcuHeight : y;
  if (mc_jpeg_crop(context(), jpeg.data(), jpeg.size(), cx, cy, w, h, &out, &outSize, message,
                   sizeof message) == 0) {
    mc_jpeg_repair_exif(out, outSize, w, h);
    mc_jpeg_free(out);
  }
  int pw = 0, ph = 0;
  if (mc_jpeg_gray_roi(context(), jpeg.data(), jpeg.size(), x, y, w, h, scale, &out, &pw, &ph,
                       message, sizeof message) == 0) {
    mc_jpeg_free(out);
  }
  return 0;
}
