// The k-means sample of an IVF training: the first readable vectors of the flat store, by
// reference into its mapping (no copies). Valid while the store is neither written nor
// flushed; training holds the engine exclusively, so nothing does.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/flat_storage.h"

namespace tamix {

// At most this many stored vectors train the centroids, whatever the store's size.
inline constexpr uint64_t kIvfTrainingSample = 10000;

struct IvfSample {
  uint64_t dimension = 0;
  std::vector<const float*> rows;     // `dimension` floats each, in slot order
  std::vector<double> squared_norms;  // of each row, summed in double

  size_t size() const { return rows.size(); }
  bool empty() const { return rows.empty(); }
};

// Σ v[t]² over t < n in double, in independent partial sums: one chain of dependent adds
// would take several cycles per component.
double squared_norm_of(const float* v, size_t n);

// Slots 0 to min(count, kIvfTrainingSample) - 1 in order, each when readable; an
// unreadable slot is skipped, not replaced by a later one.
IvfSample draw_sample(const FlatStorage& store);

}  // namespace tamix
