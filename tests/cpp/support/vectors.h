// Random test vectors, shared by the test binaries.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/types.h"

namespace tamix::testing {

// n random vectors of dimension d, components uniform in [-1, 1]; stable for a given seed.
inline std::vector<std::vector<float>> RandomVectors(size_t n, size_t d, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(d));
  for (auto& v : out)
    for (auto& x : v) x = u(rng);
  return out;
}

inline std::vector<VectorView> Views(const std::vector<std::vector<float>>& vs) {
  return {vs.begin(), vs.end()};
}

}  // namespace tamix::testing
