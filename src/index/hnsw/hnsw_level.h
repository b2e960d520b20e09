// The random top layer of a new node: about ml-scaled exponential, capped at kMaxLevel.
#pragma once

#include <cstdint>

namespace tamix {

inline constexpr uint64_t kMaxLevel = 16;  // a node has at most 17 neighbour lists

// Truncation toward zero that saturates: NaN and values below 1 give 0, values too large
// the largest u64. Never undefined, whatever the float.
uint64_t saturating_to_u64(float x);

// The level drawn from the 32-bit value w: U = (w >> 8) * 2^-24, x = -(ln U * ml) in
// single precision, truncated with saturation, then at most kMaxLevel.
uint64_t level_from_draw(uint32_t w, float ml);

// level_from_draw with a value from the calling thread's own generator.
uint64_t random_level(float ml);

}  // namespace tamix
