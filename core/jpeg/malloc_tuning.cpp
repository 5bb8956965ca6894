// SPDX-License-Identifier: MIT
#include "core/jpeg/malloc_tuning.h"

#include <malloc.h>

namespace kestrel {

bool tuneMallocForLargeBuffers() {
  bool ok = mallopt(M_MMAP_MAX, 0) == 1;
  ok = mallopt(M_TRIM_THRESHOLD, 1 << 30) == 1 && ok;
  ok = mallopt(M_TOP_PAD, 64 << 20) == 1 && ok;
  return ok;
}

}  // namespace kestrel
