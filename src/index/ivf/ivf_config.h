// IvfConfig: the parameters of an inverted-file index, a plain copyable record. The index
// keeps its own copy; a new configuration replaces the whole index.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "index/hnsw/hnsw_config.h"

namespace tamix {

// The most lists (centroids, partitions) a configuration may ask for. Training fits the
// centroids to a sample of at most 10,000 vectors, so lists beyond that can only
// repeat sample vectors; 2^16 still leaves room for conventional billion-scale list counts.
// At this bound the centroid table of a 4096-dimensional store is 1 GiB, and training holds
// three such tables: the most memory a caller's nlist may make us ask for.
inline constexpr uint64_t kMaxIvfLists = 65536;

struct IvfConfig {
  uint64_t nlist = 100;          // partitions and centroids
  uint64_t nprobe = 10;          // partitions a query searches
  uint64_t max_iterations = 20;  // bound on the k-means iterations
  float tolerance = 0.001f;      // bits 0x3A83126F: stop once the centroids move less
  HnswConfig hnsw_config;        // given to every partition graph

  // The configuration of configure_ivf: the caller's list counts, at most 10 iterations.
  static IvfConfig configured(uint64_t nlist, uint64_t nprobe);

  bool operator==(const IvfConfig&) const = default;
};

// Refuses a list count above kMaxIvfLists, as invalid input:
// "nlist must be at most 65536, got {nlist}".
Status check_nlist(uint64_t nlist);

}  // namespace tamix
