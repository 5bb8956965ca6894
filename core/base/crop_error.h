// SPDX-License-Identifier: MIT
// CropError: the system's one error type, carrying a finished user-facing text.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel {

// Every failure of Kestrel's own logic is thrown as a CropError whose what()
// is exactly the Chinese message shown to the operator or written into the
// reports. Platform failures keep the platform's own text instead.
class CropError : public std::runtime_error {
 public:
  explicit CropError(const std::string& message) : std::runtime_error(message) {}
  const char* message() const noexcept { return what(); }
};

}  // namespace kestrel
