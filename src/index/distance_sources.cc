#include "index/distance_sources.h"

#include <cmath>
#include <limits>

#include "core/norm.h"

namespace tamix {

FlatVectors FlatVectors::of(const FlatStorage& store) {
  FlatVectors v;
  v.base = store.records();
  v.dimension = store.dimension();
  v.readable = v.base == nullptr ? 0 : store.readable_count();
  v.norms = store.norms();
  return v;
}

namespace {

float norm_of(VectorView q) {
  const double squared = squared_norm(q);
  return normalizable(squared) ? static_cast<float>(std::sqrt(squared))
                               : std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

HalvedCosineOfQuery::HalvedCosineOfQuery(const FlatVectors& vectors, VectorView query)
    : CosineQuery(vectors, query.data(), norm_of(query)),
      fits_(query.size() == vectors.dimension) {}

}  // namespace tamix
