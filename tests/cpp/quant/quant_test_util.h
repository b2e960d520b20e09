// Helpers shared by the quantizer tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/types.h"

namespace tamix::quant_testing {

inline std::vector<std::vector<float>> RandomVectors(size_t n, size_t d, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(d));
  for (auto& v : out)
    for (auto& x : v) x = g(rng);
  return out;
}

inline std::vector<VectorView> Views(const std::vector<std::vector<float>>& vs) {
  return {vs.begin(), vs.end()};
}

inline uint64_t U64At(const std::vector<uint8_t>& bytes, size_t at) {
  uint64_t v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

inline void SetU64At(std::vector<uint8_t>& bytes, size_t at, uint64_t v) {
  std::memcpy(bytes.data() + at, &v, sizeof v);
}

}  // namespace tamix::quant_testing
