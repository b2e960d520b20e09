#include "index/ivf/ivf_ranking.h"

#include <algorithm>
#include <cfloat>

#include "core/distance.h"
#include "core/norm.h"
#include "index/distance_sources.h"
#include "index/hnsw/layer_search.h"

namespace tamix {

CentroidRanking::CentroidRanking(const IvfCentroids& centroids) : centroids_(&centroids) {
  norms_.resize(centroids.count());
  for (uint64_t j = 0; j < centroids.count(); ++j) norms_[j] = vector_norm(centroids.row(j));
}

template <class Visit>
void CentroidRanking::each_distance(const float* v, float v_norm, Visit visit) const {
  for_each_dot(
      v, count(), centroids_->dimension(), [&](size_t j) { return centroids_->row(j).data(); },
      [&](size_t j, double dot) {
        visit(j, hnsw::halve(hnsw::cosine_distance(dot, v_norm, norms_[j])));
      });
}

uint32_t CentroidRanking::nearest(const float* v, float v_norm) const {
  uint32_t best_index = 0;
  float best = FLT_MAX;
  each_distance(v, v_norm, [&](uint64_t j, float d) {
    if (d < best) {
      best = d;
      best_index = static_cast<uint32_t>(j);
    }
  });
  return best_index;
}

std::vector<uint64_t> CentroidRanking::nearest_n(VectorView query, uint64_t n) const {
  const size_t take = static_cast<size_t>(std::min<uint64_t>(n, count()));
  if (take == 0) return {};
  const bool fits = query.size() == centroids_->dimension();
  const float q_norm = vector_norm(query);
  // pack() orders by distance, NaN last, then by index: the stable order by distance.
  std::vector<uint64_t> keys(count());
  auto keep = [&](uint64_t j, float d) { keys[j] = hnsw::pack(d, static_cast<hnsw::NodeId>(j)); };
  if (fits) {
    each_distance(query.data(), q_norm, keep);
  } else {
    for (uint64_t j = 0; j < count(); ++j) keep(j, 1.0f);
  }
  std::partial_sort(keys.begin(), keys.begin() + static_cast<ptrdiff_t>(take), keys.end());
  std::vector<uint64_t> probes(take);
  for (size_t i = 0; i < take; ++i) probes[i] = hnsw::node_of(keys[i]);
  return probes;
}

}  // namespace tamix
