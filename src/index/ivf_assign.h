// The assignment step of the IVF k-means: each sample row goes to its nearest centroid by
// squared Euclidean distance as l2sq_distance (core/distance.h) computes it, converted to
// single precision and compared strictly in centroid order, starting from the largest finite
// float: ties keep the lowest index, a NaN distance never wins, and a row that no centroid
// comes closer to than that goes to centroid 0, as does every row when there are none.
#pragma once

#include <cstdint>
#include <vector>

#include "index/ivf_centroids.h"
#include "index/ivf_sample.h"

namespace tamix {

// The nearest centroid of every sample row, in sample order; runs on the worker pool.
std::vector<uint32_t> assign_clusters(const IvfSample& sample, const IvfCentroids& centroids);

// The nearest centroid of one row, one distance per centroid: the rule itself.
uint32_t nearest_centroid(const float* row, const IvfCentroids& centroids);

}  // namespace tamix
