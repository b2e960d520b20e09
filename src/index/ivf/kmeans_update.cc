#include "index/ivf/kmeans_update.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <random>

#include "core/distance.h"
#include "core/pool.h"

namespace tamix {

size_t SampleDraw::operator()(size_t sample_size) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  return std::uniform_int_distribution<size_t>(0, sample_size - 1)(generator);
}

ClusterSums::ClusterSums(size_t clusters, size_t dimension)
    : dim_(dimension), sums_(clusters * dimension, 0.0f), counts_(clusters, 0) {}

void ClusterSums::add(const IvfSample& s, const uint32_t* assignment, size_t first, size_t last) {
  for (size_t i = first; i < last; ++i) ++counts_[assignment[i]];
  const size_t slices = std::max<size_t>(1, std::min(pool::threads(), (dim_ + 15) / 16));
  const size_t width = (dim_ + slices - 1) / slices;
  pool::parallel_for(slices, [&](size_t a, size_t b) {
    const size_t t0 = a * width, t1 = std::min(dim_, b * width);
    for (size_t i = first; i < last; ++i) {
      const float* row = s.rows[i];
      float* sum = sums_.data() + assignment[i] * dim_;
      for (size_t t = t0; t < t1; ++t) sum[t] += row[t];
    }
  });
}

LloydStep ClusterSums::finish(const IvfSample& s, const IvfCentroids& current,
                              SampleDraw& draw) && {
  constexpr size_t kNoReseed = SIZE_MAX;
  const size_t k = counts_.size();
  assert(current.count() == k && current.dimension() == dim_);
  std::vector<size_t> reseed(k, kNoReseed);
  for (size_t j = 0; j < k; ++j) {
    if (counts_[j] == 0) reseed[j] = draw(s.size());
  }
  const std::vector<float> moved = pool::map<float>(k, [&](size_t j) {
    float* centroid = sums_.data() + j * dim_;
    if (reseed[j] != kNoReseed) {
      std::memcpy(centroid, s.rows[reseed[j]], dim_ * sizeof(float));
    } else {
      const float reciprocal = 1.0f / static_cast<float>(counts_[j]);
      for (size_t t = 0; t < dim_; ++t) centroid[t] *= reciprocal;
    }
    return static_cast<float>(l2sq_distance(current.row(j).data(), centroid, dim_));
  });
  float diff = 0.0f;
  for (float m : moved) diff += m;
  return {IvfCentroids(k, dim_, std::move(sums_)), diff};
}

LloydStep lloyd_step(const IvfSample& s, const IvfCentroids& current,
                     const std::vector<uint32_t>& assignment, SampleDraw& draw) {
  assert(assignment.size() == s.size());
  ClusterSums sums(current.count(), s.dimension);
  sums.add(s, assignment.data(), 0, s.size());
  return std::move(sums).finish(s, current, draw);
}

}  // namespace tamix
