// The exact search's score: 1 - d/2 for the cosine distance d, in single precision.
#pragma once

#include <cstddef>

#include "core/distance.h"

namespace tamix {

inline float cosine_score_of(double distance) {
  const float d = static_cast<float>(distance);
  return 1.0f - d * 0.5f;
}

inline float cosine_score(const float* query, const float* stored, size_t n) {
  return cosine_score_of(cos_distance(query, stored, n));
}

}  // namespace tamix
