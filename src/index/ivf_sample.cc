#include "index/ivf_sample.h"

#include <algorithm>

#include "core/norm.h"
#include "core/pool.h"

namespace tamix {

IvfSample draw_sample(const FlatStorage& store) {
  IvfSample sample;
  sample.dimension = store.dimension();
  const uint64_t n = std::min(store.count(), kIvfTrainingSample);
  sample.rows.reserve(n);
  for (Slot slot = 0; slot < n; ++slot) {
    if (auto v = store.get_vector(slot)) sample.rows.push_back(v->data());
  }
  sample.squared_norms = pool::map<double>(sample.size(), [&](size_t i) {
    return squared_norm(VectorView(sample.rows[i], sample.dimension));
  });
  return sample;
}

}  // namespace tamix
