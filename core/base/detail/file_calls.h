// SPDX-License-Identifier: MIT
// The two system calls a new file is given its final name with, behind
// function pointers so that tests can play a file system that supports
// neither (as some FUSE and network file systems do). Private to core/base
// and its tests.
#pragma once

namespace kestrel::detail {

struct FileCalls {
  // renameat2(…, RENAME_NOREPLACE) from the working directory.
  int (*renameNoReplace)(const char* from, const char* to);
  // link(2).
  int (*hardLink)(const char* from, const char* to);
};

// The calls in use; tests replace them and put them back.
FileCalls& fileCalls();

}  // namespace kestrel::detail
