// VectorFileHeader: the 24-byte little-endian header that begins every vector file
// ("vectors.bin", "sq8_vectors.bin", "quantized_vectors.bin"). Plain values; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/result.h"

namespace tamix {

enum class DataType : uint16_t { kRaw = 0, kSq8 = 1, kPq = 2 };

struct VectorFileHeader {
  static constexpr size_t kSize = 24;
  static constexpr uint32_t kMagic = 0x546D7851;  // "TmxQ" read from the top byte down
  static constexpr uint16_t kVersion = 4;
  static constexpr uint64_t kMaxDimension = 65535;  // the field is 16 bits wide
  static constexpr uint16_t kMinValidDimension = 128;
  static constexpr uint16_t kMaxValidDimension = 4096;

  using Bytes = std::array<uint8_t, kSize>;
  using View = std::span<const uint8_t, kSize>;

  uint32_t magic = 0;
  uint16_t version = 0;
  uint16_t dimension = 0;
  uint64_t count = 0;  // records counted when the header was last written; never trusted alone
  uint16_t data_type = 0;

  // The bytes every writer puts at offset 0; refuses a dimension the field cannot hold.
  static Result<Bytes> compose(uint64_t dimension, uint64_t count, DataType data_type);

  // Reads the fields; checks nothing.
  static VectorFileHeader decode(View bytes);

  // Magic, then version, then dimension range; the first failure decides the message.
  static Status validate(View bytes);

  // Magic, then version: the checks of validate that do not depend on the dimension.
  static Status validate_format(View bytes);
};

}  // namespace tamix
