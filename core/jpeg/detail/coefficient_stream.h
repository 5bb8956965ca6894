// SPDX-License-Identifier: MIT
// Row-by-row hand-over of DCT coefficients from a decompressor to a
// compressor, for the lossless crop of single-scan JPEGs.
//
// jpeg_read_coefficients normally decodes the whole image into one
// coefficient array per component (about 70 MB for 24 MP, zeroed first)
// before the compressor reads any of it back; the data passes through main
// memory three times. A CoefficientStream instead serves the decompressor
// small per-row buffers through its memory manager and suspends it (through
// its data source) as soon as the rows the compressor asks for are decoded.
// The compressor's reads drive the decoder forward, so each iMCU row is
// decoded, encoded and its buffer reused while it is still in cache. Rows
// outside the crop are decoded into one scratch row and never zeroed.
//
// Only single-scan Huffman-coded images stream (`canStream`): a
// multi-scan image revisits every row once per scan, and libjpeg's
// arithmetic decoder cannot suspend.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/jpeg/detail/libjpeg_support.h"

namespace kestrel::libjpeg {

class CoefficientStream {
 public:
  CoefficientStream() = default;
  ~CoefficientStream();
  CoefficientStream(const CoefficientStream&) = delete;
  CoefficientStream& operator=(const CoefficientStream&) = delete;

  // Points `in` at `data` through a chunked source that can suspend. Call
  // before jpeg_read_header; `detach` restores the previous source.
  void attach(jpeg_decompress_struct* in, const std::uint8_t* data, std::size_t size);

  // True when the image read by jpeg_read_header can stream.
  static bool canStream(jpeg_decompress_struct* in);

  // Starts reading the coefficients for the crop of the pixel rectangle
  // (x, y, width, height), which lies inside the image and starts on an
  // MCU boundary. Returns the arrays to hand to jpeg_write_coefficients;
  // the compressor may read only the crop's rows, in order. Inside a
  // libjpeg guard, after jpeg_read_header.
  jvirt_barray_ptr* begin(JDIMENSION x, JDIMENSION y, JDIMENSION width, JDIMENSION height);

  // Decodes the rest of the data so that damage past the crop still fails
  // the operation. Inside a libjpeg guard, after jpeg_finish_compress.
  // Returns false when APPn/COM markers followed the scan: they were saved
  // too late for the compressor to copy, so the crop has to be redone
  // without streaming.
  [[nodiscard]] bool finish();

  // Restores `in`'s source and memory manager. Always call, guard or not.
  void detach();

 private:
  // The data source: hands out the image in chunks and suspends the
  // decoder (returns FALSE) once the target row is complete.
  struct Source {
    jpeg_source_mgr pub;  // first member: libjpeg only sees this part
    CoefficientStream* owner;
    const std::uint8_t* data;
    std::size_t size;
    std::size_t handedOut;  // bytes given to the decoder so far
  };
  // One component's coefficient "array" as libjpeg sees it. Its rows live
  // in the slot (or the scratch buffer) that holds their iMCU row.
  struct Array {
    JDIMENSION blocksPerRow = 0;
    JDIMENSION rowsPerIMCU = 0;  // block rows in one iMCU row
    std::size_t offset = 0;      // of this component's rows in a slot, in blocks
    JDIMENSION zeroFirst = 0;    // block columns the compressor reads
    JDIMENSION zeroEnd = 0;
    JBLOCKROW decoderView[2 * MAX_SAMP_FACTOR] = {};
    JBLOCKROW readerView[2 * MAX_SAMP_FACTOR] = {};
  };
  // The coefficients of one iMCU row of every component.
  struct Slot {
    JBLOCKROW blocks;
    std::size_t capacity;  // in blocks
    long long row;         // iMCU row held, −1 when free
  };

  static boolean fillInput(j_decompress_ptr in);
  static void skipInput(j_decompress_ptr in, long count);
  static jvirt_barray_ptr requestArray(j_common_ptr info, int pool, boolean preZero,
                                       JDIMENSION blocksPerRow, JDIMENSION rows,
                                       JDIMENSION maxAccess);
  static JBLOCKARRAY accessArray(j_common_ptr info, jvirt_barray_ptr array, JDIMENSION startRow,
                                 JDIMENSION rows, boolean writable);

  int indexOf(jvirt_barray_ptr array) const;
  JBLOCKARRAY decoderRows(Array& array, JDIMENSION startRow, JDIMENSION rows);
  JBLOCKARRAY readerRows(Array& array, JDIMENSION startRow, JDIMENSION rows);
  void decodeThrough(JDIMENSION iMCURow);
  Slot* slotHolding(JDIMENSION iMCURow);
  Slot& claimSlot(JDIMENSION iMCURow);
  void growBuffer(JBLOCKROW& buffer, std::size_t& capacity, std::size_t blocks);
  int countMarkers() const;

  jpeg_decompress_struct* in_ = nullptr;
  Source source_{};
  jpeg_source_mgr* previousSource_ = nullptr;
  void* previousClientData_ = nullptr;
  decltype(jpeg_memory_mgr::request_virt_barray) requestOriginal_ = nullptr;
  decltype(jpeg_memory_mgr::access_virt_barray) accessOriginal_ = nullptr;

  bool streaming_ = false;   // the source may suspend the decoder
  bool decoded_ = false;     // the decoder reached the end of the image
  JDIMENSION target_ = 0;    // suspend once this iMCU row is complete
  JDIMENSION firstRow_ = 0;  // the crop's iMCU rows
  JDIMENSION endRow_ = 0;
  JDIMENSION readerRow_ = 0;  // the compressor no longer needs earlier rows
  JDIMENSION cropX_ = 0;
  JDIMENSION cropWidth_ = 0;
  int markersAtStart_ = 0;

  int arrayCount_ = 0;
  Array arrays_[MAX_COMPONENTS];
  jvirt_barray_ptr handles_[MAX_COMPONENTS] = {};
  std::size_t slotBlocks_ = 0;  // blocks in one iMCU row of all components
  Slot* slots_ = nullptr;       // row buffers, kept from crop to crop
  int slotCount_ = 0;
  JBLOCKROW scratch_ = nullptr;  // rows outside the crop
  std::size_t scratchCapacity_ = 0;
};

}  // namespace kestrel::libjpeg
