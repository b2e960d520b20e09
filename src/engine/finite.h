// Refusal of non-finite input: cosine kernels score a vector with NaN or infinite
// components as a perfect match, so such a vector would top every search.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/types.h"

namespace tamix {

// NaN and infinities have every exponent bit set; branch-free so it vectorises.
inline bool all_finite(VectorView v) {
  uint32_t bad = 0;
  for (float x : v) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad == 0;
}

// Index of the first vector with a NaN or infinite component, or the count when none.
size_t first_non_finite(std::span<const VectorView> vectors);

}  // namespace tamix
