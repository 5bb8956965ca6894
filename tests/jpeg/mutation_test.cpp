// SPDX-License-Identifier: MIT
// Seeded mutation runs over EXIF segments and small JPEGs: the EXIF walker
// and the codec layer must stay inside their buffers and fail cleanly
// whatever the bytes say. Each buffer is placed against an inaccessible
// page, so a stray read or write crashes even without ASan; under ASan the
// failure paths are also checked for leaks.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/jpeg/detail/mc_jpeg.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

// A writable area between two PROT_NONE pages, big enough for every seed.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(const std::vector<ByteVector>& seeds) {
    std::size_t largest = 0;
    for (const ByteVector& s : seeds) largest = std::max(largest, s.size());
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    inner_ = (largest + page_) / page_ * page_;
    base_ = static_cast<std::uint8_t*>(
        ::mmap(nullptr, inner_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap failed");
    ::mprotect(base_ + page_, inner_, PROT_READ | PROT_WRITE);
  }
  ~GuardedBuffer() { ::munmap(base_, inner_ + 2 * page_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Copies `data` so that it ends at the upper guard (or starts at the lower one).
  std::uint8_t* place(const ByteVector& data, bool atEnd) {
    std::uint8_t* at = atEnd ? base_ + page_ + inner_ - data.size() : base_ + page_;
    std::memcpy(at, data.data(), data.size());
    return at;
  }

 private:
  std::size_t page_ = 0, inner_ = 0;
  std::uint8_t* base_ = nullptr;
};

ByteVector mutate(ByteVector data, std::mt19937& random) {
  for (int edits = 1 + static_cast<int>(random() % 8); edits > 0 && !data.empty(); --edits) {
    // Most edits land in the first 400 bytes, where the markers and IFDs are.
    const std::size_t span =
        random() % 4 != 0 ? std::min<std::size_t>(data.size(), 400) : data.size();
    const std::size_t at = random() % span;
    const auto kind = random() % 6;
    if (kind == 5) {
      data.resize(random() % (data.size() + 1));  // truncate
      continue;
    }
    // A flipped bit, a random byte, FF, 00, or an extreme 16-bit value
    // (counts, lengths, offsets).
    const std::uint8_t values[] = {static_cast<std::uint8_t>(data[at] ^ (1u << (random() % 8))),
                                   static_cast<std::uint8_t>(random()), 0xFF, 0x00, 0xFF};
    data[at] = values[kind];
    if (kind == 4 && at + 1 < data.size()) data[at + 1] = random() % 2 ? 0xFF : 0xF0;
  }
  return data;
}

// Small JPEGs of every layout, some progressive, one with restarts, each
// opening with an Exif segment: both byte orders, SHORT and LONG fields.
std::vector<ByteVector> jpegSeeds() {
  std::vector<ByteVector> seeds;
  for (int code = 0; code <= 6; ++code) {
    const auto type = static_cast<std::uint16_t>(code % 2 == 0 ? 3 : 4);
    const ByteVector exif = makeExif({.littleEndian = code / 2 % 2 == 0,
                                      .ifd0 = {{0x0100, type, 1, 40}, {0x0112, 3, 1, 6}},
                                      .exifIFD = {{0xA002, type, 1, 40}, {0xA003, type, 1, 36}}});
    seeds.push_back(makeJPEG({.width = 40,
                              .height = 36,
                              .factors = kSamplingByCode[code],
                              .progressive = code % 2 == 1,
                              .restartRows = code == 2 ? 1 : 0,
                              .writeJFIF = false,
                              .markers = {{0xE1, exif}}}));
  }
  return seeds;
}

// The header parts (up to just after SOS) of the seeds and of the photos'
// camera EXIF.
TEST(Mutation, RepairExifStaysInsideTheBuffer) {
  const auto headerPart = [](const ByteVector& jpeg) {
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i) {
      if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)
        return ByteVector(jpeg.begin(), jpeg.begin() + i + 64);
    }
    return jpeg;
  };
  std::vector<ByteVector> seeds;
  for (const ByteVector& jpeg : jpegSeeds()) seeds.push_back(headerPart(jpeg));
  if (const auto data = testing::testDataDir()) {
    for (const char* name : {kIntelShort, kIntelLong, kMotorolaShort, kMotorolaLong})
      seeds.push_back(headerPart(readBytes(*data / name)));
  }
  GuardedBuffer buffer(seeds);
  std::mt19937 random(42);
  int found = 0;
  for (int i = 0; i < 6000; ++i) {
    const ByteVector data = mutate(seeds[static_cast<std::size_t>(i) % seeds.size()], random);
    found += mc_jpeg_repair_exif(buffer.place(data, i % 2 == 0), data.size(), 70000 + i, 1 + i) > 0;
  }
  EXPECT_GT(found, 1000);  // many mutants still hold repairable fields
}

// Header, crop and region decode on mutated JPEGs of every layout: each
// call succeeds or fails with a message, and nothing leaks (ASan). Two
// noisy seeds of a few hundred KB make the streamed crop run over many
// input chunks, suspending and resuming the decoder on damaged data.
TEST(Mutation, CodecFailsCleanlyOnCorruptJPEGs) {
  std::vector<ByteVector> seeds = jpegSeeds();
  std::mt19937 random(7);
  for (const int code : {2, 5}) {
    ByteVector noise(611u * 469u * 3u);
    for (std::uint8_t& v : noise) v = static_cast<std::uint8_t>(random());
    seeds.push_back(makeJPEG(
        {.width = 611, .height = 469, .factors = kSamplingByCode[code], .restartRows = code - 2},
        noise));
  }
  GuardedBuffer buffer(seeds);
  mc_jpeg_context* context = mc_jpeg_create();
  ASSERT_NE(context, nullptr);
  int headers = 0, crops = 0, patches = 0;
  for (int i = 0; i < 3000; ++i) {
    // Every eighth mutant comes from a large seed.
    const std::size_t seed = i % 8 == 7 ? seeds.size() - 1 - (i / 8) % 2 : i % (seeds.size() - 2);
    const ByteVector data = mutate(seeds[seed], random);
    const std::uint8_t* jpeg = buffer.place(data, true);
    char message[256] = {};
    mc_jpeg_header_info info{};
    if (mc_jpeg_header(context, jpeg, data.size(), &info, message, sizeof message) != 0) {
      ASSERT_NE(message[0], '\0');
      continue;
    }
    ++headers;
    ASSERT_GE(info.subsampling, 0);
    ASSERT_LE(info.subsampling, 6);
    if (info.width < 1 || info.height < 1 || info.width > 1024 || info.height > 1024) continue;
    // Each call succeeds with a buffer or fails with a message and none.
    const auto clean = [&](int rc, const std::uint8_t* out) {
      return rc == 0 ? out != nullptr : out == nullptr && message[0] != '\0';
    };
    const int w = std::max(1, info.width / 2), h = std::max(1, info.height / 2);
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    message[0] = '\0';
    const int cropped =
        mc_jpeg_crop(context, jpeg, data.size(), 0, 0, w, h, &out, &size, message, sizeof message);
    ASSERT_TRUE(clean(cropped, out));
    if (cropped == 0) mc_jpeg_repair_exif(out, size, w, h);
    mc_jpeg_free(out);
    int pw = 0, ph = 0;
    message[0] = '\0';
    const int decoded =
        mc_jpeg_gray_roi(context, jpeg, data.size(), info.width / 3, info.height / 3, w, h,
                         1 + i % 2, &out, &pw, &ph, message, sizeof message);
    ASSERT_TRUE(clean(decoded, out));
    mc_jpeg_free(out);
    crops += cropped == 0;
    patches += decoded == 0;
  }
  mc_jpeg_destroy(context);
  EXPECT_GT(headers, 300);
  EXPECT_GT(crops, 100);
  EXPECT_GT(patches, 100);
}

}  // namespace
}  // namespace kestrel
