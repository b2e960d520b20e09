// The update step of the IVF k-means: new centroids as the means of their clusters, summed
// in sample order in single precision, and empty clusters reseeded from random sample rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/ivf_centroids.h"
#include "index/ivf_sample.h"

namespace tamix {

// Uniform draws of a sample row from the calling thread's generator, which is seeded from
// the operating system: training is not reproducible between runs.
class SampleDraw {
 public:
  size_t operator()(size_t sample_size);  // in [0, sample_size); sample_size > 0
};

struct LloydStep {
  IvfCentroids centroids;
  float diff;  // Σ over clusters of the squared movement, added in single precision
};

// One update from the assignment (a cluster index per sample row, each below the count of
// `current`). The sums run on the worker pool, split by cluster and component, so every
// component is still added in sample order; the draws are made here, in cluster order.
LloydStep lloyd_step(const IvfSample& sample, const IvfCentroids& current,
                     const std::vector<uint32_t>& assignment, SampleDraw& draw);

}  // namespace tamix
