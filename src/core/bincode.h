// Bincode's fixed-width little-endian form, in which quantizer, graph and centroid images
// are written: integers at their full width, a u64 length before every list. The Reader
// never reads outside its bytes and reports the first overrun. Plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/result.h"

namespace tamix::bincode {

class Writer {
 public:
  void u64(uint64_t value);
  // The floats only; a list's length is the caller's u64.
  void f32s(std::span<const float> values);

  std::vector<uint8_t> take() && { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  Result<uint64_t> u64();
  Status f32s(std::span<float> out);

  // Succeeds only when every byte was read.
  Status finish() const;

  size_t remaining() const { return bytes_.size() - pos_; }

 private:
  Status take(size_t n);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace tamix::bincode
