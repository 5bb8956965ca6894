// SPDX-License-Identifier: MIT
// Process-wide allocator settings for the JPEG work.
#pragma once

namespace kestrel {

// Cropping a 24 MP photo allocates and frees ~75 MB of coefficient buffers,
// decoding allocates row buffers. glibc serves blocks that large with fresh
// mmap()s and returns freed heap tops to the kernel, so every file pays the
// page faults again — on virtual machines more than the codec work itself.
// This keeps large blocks on the heap, where the next file reuses them (no
// mmap for large blocks, no trimming of the heap top, a generous top pad).
// Two workers each cropping, thumbnailing and sampling ten 24 MP photos took
// ~40 000 instead of ~370 000 page faults. Call once at program start,
// before any worker thread exists. Returns false if glibc refused a setting
// (the program works either way, only slower).
bool tuneMallocForLargeBuffers();

}  // namespace kestrel
