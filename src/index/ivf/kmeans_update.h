// The update step of the IVF k-means: new centroids as the means of their clusters, summed
// in sample order in single precision, and empty clusters reseeded from random sample rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/ivf/ivf_centroids.h"
#include "index/ivf/ivf_sample.h"

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

// The per-cluster sums and counts of one update. Rows are added in sample order, in as many
// calls as suit the caller.
class ClusterSums {
 public:
  ClusterSums(size_t clusters, size_t dimension);

  // Adds sample rows [first, last) to the sums of their clusters (assignment[i] < clusters).
  // The pool splits the work by component, so every sum still adds in sample order.
  void add(const IvfSample& sample, const uint32_t* assignment, size_t first, size_t last);

  // The means, each sum times the reciprocal of its count, and for an empty cluster a sample
  // row drawn here (draws in cluster order); diff is taken against `current`.
  LloydStep finish(const IvfSample& sample, const IvfCentroids& current, SampleDraw& draw) &&;

 private:
  size_t dim_;
  std::vector<float> sums_;  // clusters × dim_, row-major
  std::vector<uint64_t> counts_;
};

// One whole update from the assignment of every sample row.
LloydStep lloyd_step(const IvfSample& sample, const IvfCentroids& current,
                     const std::vector<uint32_t>& assignment, SampleDraw& draw);

}  // namespace tamix
