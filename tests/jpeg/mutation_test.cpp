// SPDX-License-Identifier: MIT
// Seeded mutation runs over real and synthetic EXIF segments and small
// JPEGs: the EXIF walker and the codec layer must stay inside their buffers
// and fail cleanly whatever the bytes say. Each buffer is placed against an
// inaccessible page, so a stray read or write crashes even without ASan;
// under ASan the failure paths are also checked for leaks.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "core/jpeg/mc_jpeg.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;

// Pages with PROT_NONE on both sides of a writable area. `place` copies the
// data so that it ends at the upper guard (or starts at the lower one).
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t capacity) {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    inner_ = (capacity + page_ - 1) / page_ * page_;
    base_ = static_cast<std::uint8_t*>(
        ::mmap(nullptr, inner_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap failed");
    ::mprotect(base_ + page_, inner_, PROT_READ | PROT_WRITE);
  }
  ~GuardedBuffer() { ::munmap(base_, inner_ + 2 * page_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::uint8_t* place(const ByteVector& data, bool atEnd) {
    std::uint8_t* at = atEnd ? base_ + page_ + inner_ - data.size() : base_ + page_;
    std::memcpy(at, data.data(), data.size());
    return at;
  }

 private:
  std::size_t page_ = 0, inner_ = 0;
  std::uint8_t* base_ = nullptr;
};

// The header part of a JPEG (everything before the first scan data).
ByteVector headerPart(const ByteVector& jpeg) {
  for (std::size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)
      return ByteVector(jpeg.begin(), jpeg.begin() + static_cast<long>(i) + 64);
  }
  return jpeg;
}

std::vector<ByteVector> exifSeeds() {
  std::vector<ByteVector> seeds;
  for (const bool le : {true, false}) {
    for (const std::uint16_t type : {std::uint16_t{3}, std::uint16_t{4}}) {
      SyntheticSpec spec;
      spec.width = 32;
      spec.height = 16;
      spec.writeJFIF = false;
      spec.markers = {{0xE1, makeExif({.littleEndian = le,
                                       .ifd0 = {{0x0100, type, 1, 32}, {0x0112, 3, 1, 6}},
                                       .exifIFD = {{0xA002, type, 1, 32}, {0xA003, type, 1, 16}}})
                                 .payload}};
      seeds.push_back(headerPart(makeJPEG(spec)));
    }
  }
  // Camera EXIF of the shared photos: Intel LONG/SHORT, Motorola LONG/SHORT.
  if (const auto data = testing::testDataDir()) {
    for (const char* name :
         {"race-small/0009-IMG_0027.JPG", "race-large/0009-IMG_0027.JPG",
          "variants/0057-IMG_0080/exif-bigendian.jpg", "other/darknet-dog.jpg"}) {
      seeds.push_back(headerPart(readBytes(*data / name)));
    }
  }
  return seeds;
}

ByteVector mutate(ByteVector data, std::mt19937& random) {
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int i = 0; i < edits && !data.empty(); ++i) {
    // Most edits land in the first 400 bytes, where the markers and IFDs are.
    const std::size_t at =
        random() % 4 != 0 ? pick(std::min<std::size_t>(data.size(), 400)) : pick(data.size());
    switch (random() % 6) {
      case 0:
        data[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        break;
      case 1:
        data[at] = static_cast<std::uint8_t>(random());
        break;
      case 2:
        data[at] = 0xFF;
        break;
      case 3:
        data[at] = 0x00;
        break;
      case 4:  // an extreme 16-bit value (counts, lengths, offsets)
        data[at] = 0xFF;
        if (at + 1 < data.size())
          data[at + 1] = static_cast<std::uint8_t>(random() % 2 ? 0xFF : 0xF0);
        break;
      default:
        data.resize(pick(data.size() + 1));
        break;  // truncate
    }
  }
  return data;
}

TEST(Mutation, RepairExifStaysInsideTheBuffer) {
  const std::vector<ByteVector> seeds = exifSeeds();
  std::size_t largest = 0;
  for (const ByteVector& s : seeds) largest = std::max(largest, s.size());
  GuardedBuffer buffer(largest + 16);
  std::mt19937 random(42);
  int found = 0;
  for (int i = 0; i < 6000; ++i) {
    const ByteVector data = mutate(seeds[static_cast<std::size_t>(i) % seeds.size()], random);
    std::uint8_t* at = buffer.place(data, i % 2 == 0);
    found += mc_jpeg_repair_exif(at, data.size(), 70000 + i, 1 + i) > 0;
  }
  EXPECT_GT(found, 1000);  // many mutants still hold repairable fields
}

// Header, crop and region decode on mutated small JPEGs of every layout:
// each call succeeds or fails with a message, and nothing leaks (ASan).
TEST(Mutation, CodecFailsCleanlyOnCorruptJPEGs) {
  std::vector<ByteVector> seeds;
  for (int code = 0; code <= 6; ++code) {
    SyntheticSpec spec;
    spec.width = 40;
    spec.height = 36;
    spec.factors = factorsFor(code);
    spec.progressive = code % 2 == 1;
    spec.restartRows = code == 2 ? 1 : 0;
    spec.markers = {{0xE1, makeExif({.exifIFD = {{0xA002, 4, 1, 40}}}).payload}};
    seeds.push_back(makeJPEG(spec));
  }
  std::size_t largest = 0;
  for (const ByteVector& s : seeds) largest = std::max(largest, s.size());
  GuardedBuffer buffer(largest + 16);
  mc_jpeg_context* context = mc_jpeg_create();
  ASSERT_NE(context, nullptr);
  std::mt19937 random(7);
  int headers = 0, crops = 0, patches = 0;
  for (int i = 0; i < 3000; ++i) {
    const ByteVector data = mutate(seeds[static_cast<std::size_t>(i) % seeds.size()], random);
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
    if (info.width < 1 || info.height < 1 || info.width > 4096 || info.height > 4096) continue;
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    message[0] = '\0';
    const int w = std::max(1, info.width / 2), h = std::max(1, info.height / 2);
    if (mc_jpeg_crop(context, jpeg, data.size(), 0, 0, w, h, &out, &size, message,
                     sizeof message) == 0) {
      ++crops;
      mc_jpeg_repair_exif(out, size, w, h);
      mc_jpeg_free(out);
    } else {
      ASSERT_EQ(out, nullptr);
      ASSERT_NE(message[0], '\0');
    }
    int pw = 0, ph = 0;
    message[0] = '\0';
    if (mc_jpeg_gray_roi(context, jpeg, data.size(), info.width / 3, info.height / 3, w, h,
                         1 + i % 2, &out, &pw, &ph, message, sizeof message) == 0) {
      ++patches;
      mc_jpeg_free(out);
    } else {
      ASSERT_EQ(out, nullptr);
      ASSERT_NE(message[0], '\0');
    }
  }
  mc_jpeg_destroy(context);
  EXPECT_GT(headers, 300);
  EXPECT_GT(crops, 100);
  EXPECT_GT(patches, 100);
}

}  // namespace
}  // namespace kestrel
