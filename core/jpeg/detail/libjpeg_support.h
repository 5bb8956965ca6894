// SPDX-License-Identifier: MIT
// libjpeg plumbing shared by the codec layer, image preparation and the
// preview writers: the error manager (the one place where libjpeg's longjmp
// meets C++), RAII handles for libjpeg objects, a malloc-backed destination
// and the classification of component sampling factors.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <span>

// clang-format off
// jpeglib.h needs size_t and FILE declared before it; jerror.h after it.
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace kestrel::libjpeg {

// libjpeg reports a fatal error by calling error_exit, which must not
// return. Each libjpeg object points at an ErrorManager; `guarded` arms it,
// and error_exit (and every warning when `stopOnWarning` is set, so that
// corrupt or truncated data fails the operation) jumps back there with the
// formatted text in `message`. One manager may serve several objects that
// are used together (the two halves of a transform).
struct ErrorManager {
  explicit ErrorManager(bool stopOnWarning);
  ErrorManager(const ErrorManager&) = delete;
  ErrorManager& operator=(const ErrorManager&) = delete;

  jpeg_error_mgr pub;  // first member: libjpeg only sees this part
  std::jmp_buf jump;
  bool stopOnWarning;
  int lastCode = 0;  // libjpeg message code of the failure
  char message[JMSG_LENGTH_MAX] = {};
  // Without stopOnWarning: the text of the first warning (corrupt or
  // truncated data), empty when there was none.
  char firstWarning[JMSG_LENGTH_MAX] = {};
};

// Runs `body`, which calls libjpeg, with `errors` armed. Returns false when
// libjpeg raised an error (text in errors.message). Contract: `body` and
// everything it calls must not create objects with non-trivial destructors
// and must not throw, because a longjmp skips their frames; memory that has
// to be released after a failure belongs in the caller's variables.
template <typename Body>
[[nodiscard]] bool guarded(ErrorManager& errors, Body&& body) noexcept {
  errors.lastCode = 0;
  errors.message[0] = '\0';
  if (setjmp(errors.jump) != 0) return false;
  body();
  return true;
}

// A libjpeg decompressor, destroyed with the handle. The ErrorManager must
// outlive it. Throws std::bad_alloc when libjpeg cannot create the object.
class DecompressHandle {
 public:
  explicit DecompressHandle(ErrorManager& errors);
  ~DecompressHandle();
  DecompressHandle(const DecompressHandle&) = delete;
  DecompressHandle& operator=(const DecompressHandle&) = delete;

  jpeg_decompress_struct* get() { return &info_; }
  jpeg_decompress_struct* operator->() { return &info_; }
  ErrorManager& errors() { return errors_; }

 private:
  ErrorManager& errors_;
  jpeg_decompress_struct info_{};
};

class CompressHandle {
 public:
  explicit CompressHandle(ErrorManager& errors);
  ~CompressHandle();
  CompressHandle(const CompressHandle&) = delete;
  CompressHandle& operator=(const CompressHandle&) = delete;

  jpeg_compress_struct* get() { return &info_; }
  jpeg_compress_struct* operator->() { return &info_; }
  ErrorManager& errors() { return errors_; }

 private:
  ErrorManager& errors_;
  jpeg_compress_struct info_{};
};

// Per-object cap on libjpeg's large buffers (coefficient arrays); going
// over it fails with "Backing store not supported".
inline constexpr long kMaxMemoryToUse = 256L * 1024 * 1024;

// A compression destination writing into one malloc'ed buffer that grows
// with realloc. The buffer stays owned by this struct until `release`;
// after a failure the owner frees it with `discard`, so nothing leaks even
// when libjpeg longjmps out of a write.
struct MallocDestination {
  jpeg_destination_mgr pub;  // first member: libjpeg only sees this part
  std::uint8_t* buffer;
  std::size_t capacity;
  std::size_t size;  // bytes written, valid after jpeg_finish_compress

  // Points `info` at this destination; the first write allocates
  // `initialCapacity` bytes.
  void attach(jpeg_compress_struct* info, std::size_t initialCapacity);
  // Hands the buffer (free with std::free) to the caller.
  std::uint8_t* release();
  void discard();
};

// Chroma subsampling codes and MCU geometry of a JPEG.
struct Sampling {
  int code = -1;  // 0 4:4:4, 1 4:2:2, 2 4:2:0, 3 gray, 4 4:4:0, 5 4:1:1, 6 4:4:1; −1 unsupported
  int mcuWidth = 8;
  int mcuHeight = 8;
};

struct ComponentFactors {
  int h = 1;
  int v = 1;
};

// Classifies the sampling factors of the components in frame order.
// `fourComponentInk` is true for CMYK/YCCK, whose fourth component is
// sampled like the first. The code follows the ratio of luma to chroma
// sampling; the MCU is the real interleaved MCU (max factors × 8), which
// for the usual factor sets is the table's 8, 16 or 32. A single component
// is grayscale with an 8 × 8 MCU whatever factors it declares, because a
// one-component scan is never interleaved.
Sampling classifySampling(std::span<const ComponentFactors> components, bool fourComponentInk);
Sampling classifySampling(const jpeg_decompress_struct& info);

}  // namespace kestrel::libjpeg
