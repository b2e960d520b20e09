#include "index/kmeans_update.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <random>

#include "core/distance.h"
#include "core/pool.h"

namespace tamix {
namespace {

constexpr size_t kNoReseed = SIZE_MAX;

std::vector<size_t> cluster_sizes(const std::vector<uint32_t>& assignment, size_t k) {
  std::vector<size_t> sizes(k, 0);
  for (uint32_t j : assignment) ++sizes[j];
  return sizes;
}

// sums[j × dim + t] = Σ over the sample rows assigned to j, in sample order, of component t.
// Each worker takes a slice of the components and walks the rows in order, so every sum
// still adds in sample order while the rows stream through once.
void sum_members(const IvfSample& s, const std::vector<uint32_t>& assignment, size_t k,
                 float* sums) {
  const size_t dim = s.dimension;
  std::fill(sums, sums + k * dim, 0.0f);
  const size_t slices = std::clamp<size_t>(pool::threads(), 1, (dim + 15) / 16);
  const size_t width = (dim + slices - 1) / slices;
  pool::parallel_for(slices, [&](size_t first, size_t last) {
    const size_t t0 = first * width, t1 = std::min(dim, last * width);
    for (size_t i = 0; i < s.size(); ++i) {
      const float* row = s.rows[i];
      float* sum = sums + assignment[i] * dim;
      for (size_t t = t0; t < t1; ++t) sum[t] += row[t];
    }
  });
}

}  // namespace

size_t SampleDraw::operator()(size_t sample_size) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  return std::uniform_int_distribution<size_t>(0, sample_size - 1)(generator);
}

LloydStep lloyd_step(const IvfSample& s, const IvfCentroids& current,
                     const std::vector<uint32_t>& assignment, SampleDraw& draw) {
  const size_t k = current.count(), dim = s.dimension;
  assert(current.dimension() == dim && assignment.size() == s.size());
  const std::vector<size_t> sizes = cluster_sizes(assignment, k);
  std::vector<size_t> reseed(k, kNoReseed);
  for (size_t j = 0; j < k; ++j) {
    if (sizes[j] == 0) reseed[j] = draw(s.size());
  }
  std::vector<float> next(k * dim);
  sum_members(s, assignment, k, next.data());
  const std::vector<float> moved = pool::map<float>(k, [&](size_t j) {
    float* centroid = next.data() + j * dim;
    if (reseed[j] != kNoReseed) {
      std::memcpy(centroid, s.rows[reseed[j]], dim * sizeof(float));
    } else {
      const float reciprocal = 1.0f / static_cast<float>(sizes[j]);
      for (size_t t = 0; t < dim; ++t) centroid[t] *= reciprocal;
    }
    return static_cast<float>(l2sq_distance(current.row(j).data(), centroid, dim));
  });
  float diff = 0.0f;
  for (float m : moved) diff += m;
  return {IvfCentroids(k, dim, std::move(next)), diff};
}

}  // namespace tamix
