#include "index/distance_sources.h"

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

HalvedCosineOfQuery::HalvedCosineOfQuery(const FlatVectors& vectors, VectorView query)
    : CosineQuery(vectors, query.data(), vector_norm(query)),
      fits_(query.size() == vectors.dimension) {}

}  // namespace tamix
