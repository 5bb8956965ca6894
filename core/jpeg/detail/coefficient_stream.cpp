// SPDX-License-Identifier: MIT
#include "core/jpeg/detail/coefficient_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kestrel::libjpeg {

namespace {

// Bytes handed to the decoder at a time. The decoder can only stop at a
// chunk's end, so this bounds how far it runs ahead of the compressor
// (a few iMCU rows of a camera JPEG); near a chunk's end libjpeg-turbo
// falls back to its slower Huffman decoder, so chunks are not made small.
constexpr std::size_t kChunk = 32 * 1024;

JDIMENSION ceilDiv(long long a, long long b) { return static_cast<JDIMENSION>((a + b - 1) / b); }

}  // namespace

CoefficientStream::~CoefficientStream() {
  for (int i = 0; i < slotCount_; ++i) std::free(slots_[i].blocks);
  std::free(slots_);
  std::free(scratch_);
}

void CoefficientStream::attach(jpeg_decompress_struct* in, const std::uint8_t* data,
                               std::size_t size) {
  in_ = in;
  previousSource_ = in->src;
  previousClientData_ = in->client_data;
  source_ = {};
  source_.pub.init_source = [](j_decompress_ptr) {};
  source_.pub.fill_input_buffer = fillInput;
  source_.pub.skip_input_data = skipInput;
  source_.pub.resync_to_restart = jpeg_resync_to_restart;
  source_.pub.term_source = [](j_decompress_ptr) {};
  source_.owner = this;
  source_.data = data;
  source_.size = size;
  in->src = &source_.pub;
  in->client_data = this;
  streaming_ = false;
}

bool CoefficientStream::canStream(jpeg_decompress_struct* in) {
  return !in->arith_code && !jpeg_has_multiple_scans(in);
}

jvirt_barray_ptr* CoefficientStream::begin(JDIMENSION x, JDIMENSION y, JDIMENSION width,
                                           JDIMENSION height) {
  jpeg_decompress_struct* in = in_;
  const long long iMCUHeight = 8LL * in->max_v_samp_factor;
  firstRow_ = static_cast<JDIMENSION>(y / iMCUHeight);
  endRow_ = ceilDiv(static_cast<long long>(y) + height, iMCUHeight);
  cropX_ = x;
  cropWidth_ = width;
  arrayCount_ = 0;
  slotBlocks_ = 0;
  for (int i = 0; i < slotCount_; ++i) slots_[i].row = -1;
  decoded_ = false;
  readerRow_ = firstRow_;
  target_ = firstRow_;
  streaming_ = true;

  requestOriginal_ = in->mem->request_virt_barray;
  accessOriginal_ = in->mem->access_virt_barray;
  in->mem->request_virt_barray = requestArray;
  in->mem->access_virt_barray = accessArray;
  // Creates the arrays (through requestArray) and decodes up to the crop.
  if (jpeg_read_coefficients(in) != nullptr) decoded_ = true;
  if (arrayCount_ != in->num_components) ERREXIT(in, JERR_BAD_VIRTUAL_ACCESS);
  markersAtStart_ = countMarkers();
  return handles_;
}

bool CoefficientStream::finish() {
  streaming_ = false;
  while (!decoded_) {
    if (jpeg_read_coefficients(in_) != nullptr) decoded_ = true;
  }
  return countMarkers() == markersAtStart_;
}

void CoefficientStream::detach() {
  if (in_ == nullptr) return;
  if (requestOriginal_ != nullptr) {
    in_->mem->request_virt_barray = requestOriginal_;
    in_->mem->access_virt_barray = accessOriginal_;
  }
  in_->src = previousSource_;
  in_->client_data = previousClientData_;
  requestOriginal_ = nullptr;
  accessOriginal_ = nullptr;
  streaming_ = false;
  in_ = nullptr;
}

boolean CoefficientStream::fillInput(j_decompress_ptr in) {
  auto* source = reinterpret_cast<Source*>(in->src);
  const CoefficientStream& stream = *source->owner;
  // Suspending leaves the unread bytes where they are; libjpeg resumes
  // from its last complete MCU when jpeg_read_coefficients is called again.
  if (stream.streaming_ && in->input_iMCU_row > stream.target_) return FALSE;
  if (source->handedOut >= source->size) {
    // As jpeg_mem_src does: warn and end the data with a fake EOI.
    static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
    WARNMS(in, JWRN_JPEG_EOF);
    source->pub.next_input_byte = kEndOfImage;
    source->pub.bytes_in_buffer = 2;
    return TRUE;
  }
  const std::size_t count = std::min(kChunk, source->size - source->handedOut);
  source->pub.next_input_byte = source->data + source->handedOut;
  source->pub.bytes_in_buffer = count;
  source->handedOut += count;
  return TRUE;
}

void CoefficientStream::skipInput(j_decompress_ptr in, long count) {
  if (count <= 0) return;
  auto* source = reinterpret_cast<Source*>(in->src);
  const auto skip = static_cast<std::size_t>(count);
  if (skip <= source->pub.bytes_in_buffer) {
    source->pub.next_input_byte += skip;
    source->pub.bytes_in_buffer -= skip;
    return;
  }
  // Past the current chunk: the next fill starts after the skipped bytes.
  source->handedOut =
      std::min(source->size, source->handedOut + (skip - source->pub.bytes_in_buffer));
  source->pub.next_input_byte = source->data + source->handedOut;
  source->pub.bytes_in_buffer = 0;
}

// The decompressor asks for one array per component, in component order,
// before it decodes anything.
jvirt_barray_ptr CoefficientStream::requestArray(j_common_ptr info, int, boolean,
                                                 JDIMENSION blocksPerRow, JDIMENSION, JDIMENSION) {
  auto& stream = *static_cast<CoefficientStream*>(info->client_data);
  jpeg_decompress_struct* in = stream.in_;
  const int ci = stream.arrayCount_;
  if (ci >= in->num_components) ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS);
  const jpeg_component_info& component = in->comp_info[ci];
  Array& array = stream.arrays_[ci];
  array = {};
  array.blocksPerRow = blocksPerRow;
  array.rowsPerIMCU = static_cast<JDIMENSION>(component.v_samp_factor);
  array.offset = stream.slotBlocks_;
  // The block columns the compressor reads: the crop's, rounded out to
  // whole MCUs of this component.
  const long long h = component.h_samp_factor;
  const long long mcuWidth = 8LL * in->max_h_samp_factor;
  array.zeroFirst = static_cast<JDIMENSION>(stream.cropX_ * h / mcuWidth);
  const JDIMENSION end =
      ceilDiv(static_cast<long long>(stream.cropX_) + stream.cropWidth_, mcuWidth) *
      static_cast<JDIMENSION>(h);
  array.zeroEnd = std::min(end, blocksPerRow);
  stream.slotBlocks_ += static_cast<std::size_t>(blocksPerRow) * array.rowsPerIMCU;
  stream.handles_[ci] = reinterpret_cast<jvirt_barray_ptr>(&array);
  stream.arrayCount_ = ci + 1;
  return stream.handles_[ci];
}

JBLOCKARRAY CoefficientStream::accessArray(j_common_ptr info, jvirt_barray_ptr handle,
                                           JDIMENSION startRow, JDIMENSION rows, boolean writable) {
  auto& stream = *static_cast<CoefficientStream*>(info->client_data);
  for (int ci = 0; ci < stream.arrayCount_; ++ci) {
    if (stream.handles_[ci] != handle) continue;
    Array& array = stream.arrays_[ci];
    if (rows == 0 || rows > 2 * MAX_SAMP_FACTOR) ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS);
    return writable ? stream.decoderRows(array, startRow, rows)
                    : stream.readerRows(array, startRow, rows);
  }
  return stream.accessOriginal_(info, handle, startRow, rows, writable);
}

// The decoder writes one iMCU row of a component at a time.
JBLOCKARRAY CoefficientStream::decoderRows(Array& array, JDIMENSION startRow, JDIMENSION rows) {
  const JDIMENSION row = startRow / array.rowsPerIMCU;
  if ((startRow + rows - 1) / array.rowsPerIMCU != row) ERREXIT(in_, JERR_BAD_VIRTUAL_ACCESS);
  JBLOCKROW base = nullptr;
  if (row >= firstRow_ && row < endRow_) {
    Slot* slot = slotHolding(row);
    base = (slot != nullptr ? *slot : claimSlot(row)).blocks;
  } else {
    // Outside the crop: decoded into scratch that nobody reads.
    growBuffer(scratch_, scratchCapacity_, slotBlocks_);
    base = scratch_;
  }
  const JDIMENSION first = startRow % array.rowsPerIMCU;
  for (JDIMENSION r = 0; r < rows; ++r)
    array.decoderView[r] = base + array.offset + (first + r) * array.blocksPerRow;
  return array.decoderView;
}

// The compressor reads the crop's rows in order; each read first lets the
// decoder run until those rows are complete.
JBLOCKARRAY CoefficientStream::readerRows(Array& array, JDIMENSION startRow, JDIMENSION rows) {
  for (JDIMENSION r = 0; r < rows; ++r) {
    const JDIMENSION blockRow = startRow + r;
    const JDIMENSION row = blockRow / array.rowsPerIMCU;
    if (row < readerRow_ || row >= endRow_) ERREXIT(in_, JERR_BAD_VIRTUAL_ACCESS);
    readerRow_ = row;
    decodeThrough(row);
    Slot* slot = slotHolding(row);
    if (slot == nullptr) ERREXIT(in_, JERR_BAD_VIRTUAL_ACCESS);
    array.readerView[r] =
        slot->blocks + array.offset + (blockRow % array.rowsPerIMCU) * array.blocksPerRow;
  }
  return array.readerView;
}

void CoefficientStream::decodeThrough(JDIMENSION row) {
  while (!decoded_ && in_->input_iMCU_row <= row) {
    target_ = row;
    if (jpeg_read_coefficients(in_) != nullptr) {
      decoded_ = true;
    } else if (in_->input_iMCU_row <= row) {
      ERREXIT(in_, JERR_CANT_SUSPEND);  // suspended short of the target
    }
  }
}

CoefficientStream::Slot* CoefficientStream::slotHolding(JDIMENSION row) {
  for (int i = 0; i < slotCount_; ++i) {
    if (slots_[i].row == static_cast<long long>(row)) return &slots_[i];
  }
  return nullptr;
}

// A slot for a new crop row: a free one, one the compressor is done with,
// or a new one. Its crop columns are zeroed because the decoder writes only
// the non-zero coefficients of a block.
CoefficientStream::Slot& CoefficientStream::claimSlot(JDIMENSION row) {
  Slot* slot = nullptr;
  for (int i = 0; i < slotCount_ && slot == nullptr; ++i) {
    if (slots_[i].row < static_cast<long long>(readerRow_)) slot = &slots_[i];
  }
  if (slot == nullptr) {
    auto* grown = static_cast<Slot*>(std::realloc(slots_, sizeof(Slot) * (slotCount_ + 1)));
    if (grown == nullptr) ERREXIT(in_, JERR_OUT_OF_MEMORY);
    slots_ = grown;
    slot = &slots_[slotCount_++];
    *slot = {nullptr, 0, -1};
  }
  growBuffer(slot->blocks, slot->capacity, slotBlocks_);
  slot->row = row;
  for (int ci = 0; ci < arrayCount_; ++ci) {
    const Array& array = arrays_[ci];
    if (array.zeroEnd <= array.zeroFirst) continue;
    for (JDIMENSION r = 0; r < array.rowsPerIMCU; ++r) {
      std::memset(slot->blocks + array.offset + r * array.blocksPerRow + array.zeroFirst, 0,
                  sizeof(JBLOCK) * (array.zeroEnd - array.zeroFirst));
    }
  }
  return *slot;
}

void CoefficientStream::growBuffer(JBLOCKROW& buffer, std::size_t& capacity, std::size_t blocks) {
  if (capacity >= blocks) return;
  std::free(buffer);
  capacity = 0;
  buffer = static_cast<JBLOCKROW>(std::malloc(sizeof(JBLOCK) * blocks));
  if (buffer == nullptr) ERREXIT(in_, JERR_OUT_OF_MEMORY);
  capacity = blocks;
}

int CoefficientStream::countMarkers() const {
  int count = 0;
  for (jpeg_saved_marker_ptr m = in_->marker_list; m != nullptr; m = m->next) ++count;
  return count;
}

}  // namespace kestrel::libjpeg
