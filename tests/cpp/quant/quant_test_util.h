// Helpers shared by the quantizer tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/vectors.h"

namespace tamix::quant_testing {

using tamix::testing::RandomVectors;
using tamix::testing::Views;

inline uint64_t U64At(const std::vector<uint8_t>& bytes, size_t at) {
  uint64_t v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

inline void SetU64At(std::vector<uint8_t>& bytes, size_t at, uint64_t v) {
  std::memcpy(bytes.data() + at, &v, sizeof v);
}

}  // namespace tamix::quant_testing
