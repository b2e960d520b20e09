// The exact search's score: 1 - d/2 for the cosine distance d, in single precision.
#pragma once

#include <cstddef>

#include "core/distance.h"

namespace tamix {

inline float cosine_score(const float* query, const float* stored, size_t n) {
  float d = static_cast<float>(cos_distance(query, stored, n));
  return 1.0f - d * 0.5f;
}

}  // namespace tamix
