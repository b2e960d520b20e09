#include "index/hnsw/hnsw_level.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

namespace tamix {

uint64_t saturating_to_u64(float x) {
  if (!(x >= 1.0f)) return 0;  // NaN, negatives and fractions
  if (x >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

uint64_t level_from_draw(uint32_t w, float ml) {
  const float u = static_cast<float>(w >> 8) * 0x1p-24f;
  const float x = -(std::log(u) * ml);
  return std::min(saturating_to_u64(x), kMaxLevel);
}

uint64_t random_level(float ml) {
  thread_local std::mt19937 generator = [] {
    std::random_device device;
    std::seed_seq seed{
        device(), device(),
        static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id()))};
    return std::mt19937(seed);
  }();
  return level_from_draw(static_cast<uint32_t>(generator()), ml);
}

}  // namespace tamix
