// IVF training: k-means (Lloyd iteration) over a sample of the flat store, seeded with random
// sample vectors, printing its progress to standard output. Runs while the caller holds the
// engine exclusively; the heavy steps go to the worker pool, the random draws stay on the
// calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/result.h"
#include "index/ivf/ivf_centroids.h"
#include "index/ivf/ivf_config.h"
#include "index/ivf/ivf_sample.h"
#include "storage/flat_storage.h"

namespace tamix {

// Fills the partitions from slots 0 to n - 1 of the store with the new centroids.
using IvfPopulate = std::function<void(const FlatStorage& store, uint64_t n)>;

// The whole training of an index with `config` and `centroids`: flushes the store, draws the
// sample, fits new centroids (installed in `centroids` unless the sample is empty or nlist is
// 0, when there is nothing to fit), then populates between the lines "IVF: Populating
// partitions..." and "IVF: Training complete.". Without a store nothing is sampled or
// populated. Fails with the store's flush error before anything is printed, or with
// check_nlist's refusal.
Status train_ivf(FlatStorage* store, const IvfConfig& config, IvfCentroids& centroids,
                 const IvfPopulate& populate);

// The k-means alone: config.nlist centroids (at most kMaxIvfLists) fitted to the sample in
// at most config.max_iterations iterations, one progress line each. None for an empty
// sample or nlist 0.
std::optional<IvfCentroids> run_kmeans(const IvfSample& sample, const IvfConfig& config);

// "  -> Iteration {it}: diff = {diff}", diff with four decimals ("NaN", "inf" when not finite).
std::string iteration_line(uint64_t it, float diff);

}  // namespace tamix
