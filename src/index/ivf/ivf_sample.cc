#include "index/ivf/ivf_sample.h"

#include <algorithm>

#include "core/pool.h"

namespace tamix {

double squared_norm_of(const float* v, size_t n) {
  constexpr size_t kParts = 8;
  double part[kParts] = {};
  size_t t = 0;
  for (; t + kParts <= n; t += kParts) {
    for (size_t l = 0; l < kParts; ++l) part[l] += static_cast<double>(v[t + l]) * v[t + l];
  }
  for (; t < n; ++t) part[0] += static_cast<double>(v[t]) * v[t];
  return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

IvfSample draw_sample(const FlatStorage& store) {
  IvfSample sample;
  sample.dimension = store.dimension();
  const uint64_t n = std::min(store.count(), kIvfTrainingSample);
  sample.rows.reserve(n);
  for (Slot slot = 0; slot < n; ++slot) {
    if (auto v = store.get_vector(slot)) sample.rows.push_back(v->data());
  }
  sample.squared_norms = pool::map<double>(
      sample.size(), [&](size_t i) { return squared_norm_of(sample.rows[i], sample.dimension); });
  return sample;
}

}  // namespace tamix
