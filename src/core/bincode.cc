#include "core/bincode.h"

#include <bit>
#include <cstring>
#include <string>

namespace tamix::bincode {

static_assert(std::endian::native == std::endian::little, "images are copied byte for byte");

void Writer::u64(uint64_t value) {
  const size_t at = bytes_.size();
  bytes_.resize(at + sizeof value);
  std::memcpy(bytes_.data() + at, &value, sizeof value);
}

void Writer::f32s(std::span<const float> values) {
  const size_t at = bytes_.size();
  bytes_.resize(at + values.size_bytes());
  if (!values.empty()) std::memcpy(bytes_.data() + at, values.data(), values.size_bytes());
}

Status Reader::take(size_t n) {
  if (n > remaining()) {
    return Error::Serialization("unexpected end of image: " + std::to_string(n) +
                                " bytes needed at offset " + std::to_string(pos_) + ", " +
                                std::to_string(remaining()) + " left");
  }
  pos_ += n;
  return Ok();
}

Result<uint64_t> Reader::u64() {
  const size_t at = pos_;
  TAMIX_TRY(take(sizeof(uint64_t)));
  uint64_t value;
  std::memcpy(&value, bytes_.data() + at, sizeof value);
  return value;
}

Status Reader::f32s(std::span<float> out) {
  const size_t at = pos_;
  TAMIX_TRY(take(out.size_bytes()));
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + at, out.size_bytes());
  return Ok();
}

Status Reader::finish() const {
  if (remaining() == 0) return Ok();
  return Error::Serialization(std::to_string(remaining()) + " trailing bytes after the image");
}

}  // namespace tamix::bincode
