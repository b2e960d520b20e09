// Whether the single-precision distance kernels can use a vector: its components must be
// finite, and to normalise it, its squared norm, summed in double, must be 0 or a normal
// float. Beyond that range the kernels' own sums underflow or overflow and a cosine comes
// out as a perfect match.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/types.h"

namespace tamix {

inline double squared_norm(VectorView v) {
  double sum = 0;
  for (float x : v) sum += static_cast<double>(x) * x;
  return sum;
}

// False for NaN too.
inline bool normalizable(double squared) {
  return squared == 0 || (squared >= FLT_MIN && squared <= FLT_MAX);
}

// True when no component is NaN or infinite. NaN and infinities have every exponent bit
// set; branch-free so it vectorises.
inline bool all_finite(VectorView v) {
  uint32_t bad = 0;
  for (float x : v) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad == 0;
}

// The norm the kernels divide by, or NaN for a vector they cannot normalise.
inline float vector_norm(VectorView v) {
  const double squared = squared_norm(v);
  return normalizable(squared) ? static_cast<float>(std::sqrt(squared))
                               : std::numeric_limits<float>::quiet_NaN();
}

}  // namespace tamix
