// The inner loop of the k-means assignment: dot products of a few sample rows with tiles of
// centroids, compiled once per instruction set and chosen once per process from the
// processor's features (like core/distance.h). Safe from any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace tamix::ivf_kernels {

struct DotKernel {
  const char* name;
  size_t tile;  // centroids per packed tile: tile t × dim floats, component-major
  size_t rows;  // sample rows one call takes at full speed
  // For r < nrows ≤ rows and q < ntiles × tile, ntiles 1 or 2 consecutive tiles:
  // out[r × out_stride + q] = Σ rows[r][t] × centroid q's component t over t < dim. Each sum
  // is formed in single precision in component order, one rounding per operation: its error
  // is at most γ(dim + 1) × Σ |rows[r][t] × component t|.
  void (*tile_dots)(const float* const* rows, size_t nrows, const float* tiles, size_t ntiles,
                    size_t dim, float* out, size_t out_stride);
};

// The kernel for this processor.
const DotKernel& dot_kernel();

// Every variant this processor can run, the portable one first.
std::vector<const DotKernel*> dot_kernel_variants();

}  // namespace tamix::ivf_kernels
