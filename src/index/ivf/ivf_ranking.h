// The centroid distance of IVF population and search: the halved cosine between a vector and
// a centroid, from one dot product and the two norms, as the graph's own sources compute it
// (index/distance_sources.h), so a slot's partition and a query's probes rank alike.
#pragma once

#include <cstdint>
#include <vector>

#include "core/types.h"
#include "index/ivf/ivf_centroids.h"

namespace tamix {

// Ranks the centroids of one table, which must outlive it. Safe from many threads at once.
class CentroidRanking {
 public:
  CentroidRanking() = default;  // no centroids
  explicit CentroidRanking(const IvfCentroids& centroids);

  uint64_t count() const { return norms_.size(); }

  // The centroid at the least distance, strictly: ties keep the lowest index, NaN never
  // wins, and 0 when none comes below the largest finite float.
  uint32_t nearest(const float* v, float v_norm) const;
  // The first min(n, count) centroids by ascending distance from the query, equal
  // distances in centroid order, NaN last. A query of another length is at 1.0 from all.
  std::vector<uint64_t> nearest_n(VectorView query, uint64_t n) const;

 private:
  // visit(j, halved cosine from v to centroid j) for every j in order; v has the centroids'
  // dimension and norm v_norm.
  template <class Visit>
  void each_distance(const float* v, float v_norm, Visit visit) const;

  const IvfCentroids* centroids_ = nullptr;
  std::vector<float> norms_;  // one per centroid
};

}  // namespace tamix
