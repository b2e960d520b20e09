// The assignment step of the IVF k-means: each sample row goes to its nearest centroid by
// squared Euclidean distance as l2sq_distance (core/distance.h) computes it, converted to
// single precision and compared strictly in centroid order, starting from the largest finite
// float: ties keep the lowest index, a NaN distance never wins, and a row that no centroid
// comes closer to than that goes to centroid 0, as does every row when there are none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/ivf/ivf_centroids.h"
#include "index/ivf/ivf_sample.h"

namespace tamix {

// Assigns rows to one set of centroids, which it packs for the dot kernel once and which
// must outlive it. assign may run from several threads at once.
class ClusterAssigner {
 public:
  explicit ClusterAssigner(const IvfCentroids& centroids);

  // out[i] = the nearest centroid of sample row i, for i in [first, last); on the pool.
  void assign(const IvfSample& sample, size_t first, size_t last, uint32_t* out) const;

 private:
  struct Scratch {  // one per worker: room for a value per centroid
    std::vector<float> lower;
    std::vector<uint32_t> candidates;
  };

  uint32_t choose(const float* row, float row_norm, const float* dots, Scratch& scratch) const;
  void assign_blocks(const IvfSample& s, size_t row0, size_t end, size_t first_block,
                     size_t last_block, uint32_t* out) const;

  const IvfCentroids& centroids_;
  bool bounded_ = false;  // else every distance is computed exactly
  float rel_slack_ = 0;   // see slack_for in the .cc
  float abs_slack_ = 0;
  size_t packed_count_ = 0;           // centroids with the padding of the last tile
  std::vector<float> tiles_;          // packed_count_ × dim, tile by tile, component-major
  std::vector<float> squared_norms_;  // per centroid; +inf when too large to bound
};

// The nearest centroid of every sample row, in sample order; runs on the worker pool.
std::vector<uint32_t> assign_clusters(const IvfSample& sample, const IvfCentroids& centroids);

// The nearest centroid of one row, one distance per centroid: the rule itself.
uint32_t nearest_centroid(const float* row, const IvfCentroids& centroids);

}  // namespace tamix
