#include "core/file_header.h"

#include <bit>
#include <cstdio>
#include <string>

namespace tamix {
namespace {

static_assert(std::endian::native == std::endian::little,
              "vector files are little-endian and read in place");

template <class T>
void put(uint8_t* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <class T>
T get(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(in[i]) << (8 * i);
  return value;
}

std::string hex8(uint32_t value) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", value);
  return buf;
}

}  // namespace

Result<VectorFileHeader::Bytes> VectorFileHeader::compose(uint64_t dimension, uint64_t count,
                                                          DataType data_type) {
  if (dimension > kMaxDimension) {
    return Error::Message("Dimension " + std::to_string(dimension) + " exceeds maximum " +
                          std::to_string(kMaxDimension));
  }
  Bytes out{};
  put<uint64_t>(&out[0], kMagic | (uint64_t{kVersion} << 32) | (dimension << 48));
  put<uint64_t>(&out[8], count);
  put<uint16_t>(&out[16], static_cast<uint16_t>(data_type));
  return out;
}

VectorFileHeader VectorFileHeader::decode(View bytes) {
  VectorFileHeader h;
  h.magic = get<uint32_t>(&bytes[0]);
  h.version = get<uint16_t>(&bytes[4]);
  h.dimension = get<uint16_t>(&bytes[6]);
  h.count = get<uint64_t>(&bytes[8]);
  h.data_type = get<uint16_t>(&bytes[16]);
  return h;
}

Status VectorFileHeader::validate(View bytes) {
  TAMIX_TRY(validate_format(bytes));
  const VectorFileHeader h = decode(bytes);
  if (h.dimension < kMinValidDimension || h.dimension > kMaxValidDimension) {
    return Error::Message("Invalid dimension: " + std::to_string(h.dimension));
  }
  return Ok();
}

Status VectorFileHeader::validate_format(View bytes) {
  const VectorFileHeader h = decode(bytes);
  if (h.magic != kMagic) {
    return Error::Message("Invalid magic number: expected 0x" + hex8(kMagic) + ", got 0x" +
                          hex8(h.magic));
  }
  if (h.version > kVersion) {
    return Error::Message("Unsupported version: " + std::to_string(h.version));
  }
  return Ok();
}

}  // namespace tamix
