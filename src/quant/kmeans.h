// k-means with 256 centroids for the product quantizer: k-means++ seeding, then at most 20
// Lloyd iterations whose assignment is by cosine similarity and whose centroids are scaled
// to unit length. The assignment steps run on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/result.h"

namespace tamix {

inline constexpr int kKmeansMaxIterations = 20;

// n points of `dim` floats, point j at [j × dim]. Returns 256 centroids (256 × dim floats)
// or "Cannot train on empty dataset" when n is 0.
Result<std::vector<float>> kmeans(std::span<const float> points, size_t n, size_t dim,
                                  std::mt19937_64& rng);

}  // namespace tamix
