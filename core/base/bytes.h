// SPDX-License-Identifier: MIT
// Bytes: an immutable, shared byte buffer that may own a codec allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace kestrel {

// A read-only run of bytes with shared ownership. Copies share the storage;
// the storage is released by its own deleter (for example the JPEG codec's
// free function) when the last copy goes away, so codec buffers are handed
// out without copying them.
class Bytes {
 public:
  Bytes() = default;

  explicit Bytes(std::vector<std::uint8_t> v) {
    auto owned = std::make_shared<std::vector<std::uint8_t>>(std::move(v));
    size_ = owned->size();
    data_ = std::shared_ptr<const std::uint8_t>(owned, owned->data());
  }

  // Takes ownership of `data`, released with `release(data)`.
  template <typename Release>
  static Bytes adopt(std::uint8_t* data, std::size_t size, Release release) {
    Bytes b;
    b.data_ = std::shared_ptr<const std::uint8_t>(
        data, [release](const std::uint8_t* p) { release(const_cast<std::uint8_t*>(p)); });
    b.size_ = size;
    return b;
  }

  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {data(), size_}; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data()), size_}; }

 private:
  std::shared_ptr<const std::uint8_t> data_;
  std::size_t size_ = 0;
};

}  // namespace kestrel
