// SPDX-License-Identifier: MIT
// Where batch directories go when the operator has not chosen a place.
#pragma once

#include <filesystem>

namespace kestrel {

// $XDG_PICTURES_DIR/KestrelResults, else ~/Pictures/KestrelResults. The
// window and kestrel-batch both start from it, so a batch made from either
// is found in the same place.
std::filesystem::path defaultOutputRoot();

}  // namespace kestrel
