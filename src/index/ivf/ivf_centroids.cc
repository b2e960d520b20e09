#include "index/ivf/ivf_centroids.h"

#include <atomic>
#include <cassert>

namespace tamix {
namespace {

std::atomic<uint64_t> g_next_generation{1};

}  // namespace

IvfCentroids::IvfCentroids(uint64_t count, uint64_t dimension, std::vector<float> values)
    : count_(count), dimension_(dimension), values_(std::move(values)) {
  assert(values_.size() == count_ * dimension_);
  if (count_ == 0) return;
  generation_ = g_next_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tamix
