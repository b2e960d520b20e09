// MemoryMap: an owned shared mapping of a whole file, read-only or read-write. Moving
// transfers ownership; reading the mapped bytes from many threads is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/result.h"

namespace tamix {

class MemoryMap {
 public:
  enum class Access { kReadOnly, kReadWrite };

  // Maps the first `length` bytes of fd (length > 0).
  static Result<MemoryMap> map(int fd, size_t length, Access access);

  MemoryMap() = default;
  ~MemoryMap() { reset(); }
  MemoryMap(MemoryMap&& other) noexcept;
  MemoryMap& operator=(MemoryMap&& other) noexcept;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;

  std::span<const uint8_t> bytes() const { return {data_, length_}; }
  size_t size() const { return length_; }
  bool mapped() const { return data_ != nullptr; }
  void reset();

 private:
  MemoryMap(uint8_t* data, size_t length) : data_(data), length_(length) {}

  uint8_t* data_ = nullptr;
  size_t length_ = 0;
};

}  // namespace tamix
