// HnswConfig: the parameters of one HNSW graph, carried in its image and in the IVF
// configuration. A plain copyable record.
#pragma once

#include <cstdint>

#include "core/result.h"

namespace tamix {

struct HnswConfig {
  uint64_t m = 16;       // carried and written; insertion reads only the two limits below
  uint64_t m_max = 16;   // neighbour limit on every layer above 0
  uint64_t m_max0 = 32;  // neighbour limit on layer 0
  uint64_t ef_construction = 200;
  uint64_t ef_search = 50;
  float ml = 0.36067376f;  // 1 / ln 16, bits 0x3EB8AA3B: level multiplier
  bool use_quantization = false;

  // The configuration of the HNSW constructor: limits m and 2m (saturating), ml = 1 / ln m
  // in single precision (infinite for m = 1, negative zero for m = 0; nothing is refused).
  static HnswConfig from_m(uint64_t m, uint64_t ef_construction, uint64_t ef_search);

  // Refuses limits no graph can work with: m below 2, a neighbour limit of 0, or ml not
  // finite, not positive or above 1 / ln 2 (what m = 2 gives). "invalid configuration:
  // {field} {value}".
  Status check() const;

  bool operator==(const HnswConfig&) const = default;
};

// a + a without wrapping: the largest value when the sum does not fit.
inline uint64_t saturating_double(uint64_t a) { return a > UINT64_MAX / 2 ? UINT64_MAX : 2 * a; }

}  // namespace tamix
