// SPDX-License-Identifier: MIT
#include "core/jpeg/detail/libjpeg_support.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace kestrel::libjpeg {

namespace {

ErrorManager& managerOf(j_common_ptr info) {
  // `pub` is the first member of the standard-layout ErrorManager.
  return *reinterpret_cast<ErrorManager*>(info->err);
}

[[noreturn]] void failWith(j_common_ptr info) {
  ErrorManager& errors = managerOf(info);
  errors.lastCode = errors.pub.msg_code;
  (*errors.pub.format_message)(info, errors.message);
  std::longjmp(errors.jump, 1);
}

void errorExit(j_common_ptr info) { failWith(info); }

void emitMessage(j_common_ptr info, int level) {
  ErrorManager& errors = managerOf(info);
  if (level >= 0) return;  // trace messages
  errors.pub.num_warnings++;
  if (errors.stopOnWarning) failWith(info);
  if (errors.firstWarning[0] == '\0') (*errors.pub.format_message)(info, errors.firstWarning);
}

void outputMessage(j_common_ptr) {}  // libjpeg's default prints to stderr

void initDestination(j_compress_ptr info) {
  auto* dest = reinterpret_cast<MallocDestination*>(info->dest);
  if (dest->buffer == nullptr) {
    dest->buffer = static_cast<std::uint8_t*>(std::malloc(dest->capacity));
    if (dest->buffer == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  }
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = dest->capacity;
}

boolean emptyOutputBuffer(j_compress_ptr info) {
  // Called when the whole buffer is full.
  auto* dest = reinterpret_cast<MallocDestination*>(info->dest);
  const std::size_t grown = dest->capacity + std::max<std::size_t>(dest->capacity, 65536);
  void* larger = std::realloc(dest->buffer, grown);
  if (larger == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
  dest->buffer = static_cast<std::uint8_t*>(larger);
  dest->pub.next_output_byte = dest->buffer + dest->capacity;
  dest->pub.free_in_buffer = grown - dest->capacity;
  dest->capacity = grown;
  return TRUE;
}

void termDestination(j_compress_ptr info) {
  auto* dest = reinterpret_cast<MallocDestination*>(info->dest);
  dest->size = dest->capacity - dest->pub.free_in_buffer;
}

}  // namespace

ErrorManager::ErrorManager(bool stop) : pub{}, jump{}, stopOnWarning(stop) {
  jpeg_std_error(&pub);
  pub.error_exit = errorExit;
  pub.emit_message = emitMessage;
  pub.output_message = outputMessage;
}

DecompressHandle::DecompressHandle(ErrorManager& errors) : errors_(errors) {
  info_.err = &errors_.pub;
  if (!guarded(errors_, [&] { jpeg_create_decompress(&info_); })) {
    jpeg_destroy_decompress(&info_);
    throw std::bad_alloc();
  }
  info_.mem->max_memory_to_use = kMaxMemoryToUse;
}

DecompressHandle::~DecompressHandle() { jpeg_destroy_decompress(&info_); }

CompressHandle::CompressHandle(ErrorManager& errors) : errors_(errors) {
  info_.err = &errors_.pub;
  if (!guarded(errors_, [&] { jpeg_create_compress(&info_); })) {
    jpeg_destroy_compress(&info_);
    throw std::bad_alloc();
  }
  info_.mem->max_memory_to_use = kMaxMemoryToUse;
}

CompressHandle::~CompressHandle() { jpeg_destroy_compress(&info_); }

void MallocDestination::attach(jpeg_compress_struct* info, std::size_t initialCapacity) {
  pub.init_destination = initDestination;
  pub.empty_output_buffer = emptyOutputBuffer;
  pub.term_destination = termDestination;
  pub.next_output_byte = nullptr;
  pub.free_in_buffer = 0;
  buffer = nullptr;
  capacity = std::max<std::size_t>(initialCapacity, 4096);
  size = 0;
  info->dest = &pub;
}

std::uint8_t* MallocDestination::release() {
  std::uint8_t* out = buffer;
  buffer = nullptr;
  capacity = 0;
  return out;
}

void MallocDestination::discard() {
  std::free(buffer);
  buffer = nullptr;
  capacity = 0;
  size = 0;
}

Sampling classifySampling(std::span<const ComponentFactors> components, bool fourComponentInk) {
  if (components.size() == 1) return {3, 8, 8};
  if (components.size() != 3 && components.size() != 4) return {};
  for (const auto& c : components) {
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return {};
  }
  const ComponentFactors luma = components[0];
  const ComponentFactors chroma = components[1];
  if (components[2].h != chroma.h || components[2].v != chroma.v) return {};
  if (components.size() == 4) {
    // The K of CMYK/YCCK is sampled like the first component; a fourth
    // component of anything else is not a layout we can name.
    if (!fourComponentInk || components[3].h != luma.h || components[3].v != luma.v) return {};
  }
  if (luma.h % chroma.h != 0 || luma.v % chroma.v != 0) return {};
  const int rh = luma.h / chroma.h;
  const int rv = luma.v / chroma.v;
  int code = -1;
  if (rh == 1 && rv == 1) code = 0;
  if (rh == 2 && rv == 1) code = 1;
  if (rh == 2 && rv == 2) code = 2;
  if (rh == 1 && rv == 2) code = 4;
  if (rh == 4 && rv == 1) code = 5;
  if (rh == 1 && rv == 4) code = 6;
  if (code < 0) return {};
  // Chroma factors other than 1×1 (e.g. 2×1 for every component) are legal;
  // the interleaved MCU then spans the luma factors × 8 pixels.
  return {code, luma.h * 8, luma.v * 8};
}

Sampling classifySampling(const jpeg_decompress_struct& info) {
  ComponentFactors factors[4];
  const int n = info.num_components;
  if (n < 1 || n > 4) return {};
  for (int i = 0; i < n; ++i)
    factors[i] = {info.comp_info[i].h_samp_factor, info.comp_info[i].v_samp_factor};
  const bool ink = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  return classifySampling(std::span<const ComponentFactors>(factors, static_cast<std::size_t>(n)),
                          ink);
}

}  // namespace kestrel::libjpeg
