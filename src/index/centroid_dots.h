// The inner loop of the k-means assignment: dot products of a few sample rows with tiles of
// centroids, compiled once per instruction set and chosen once per process from the
// processor's features (like core/distance.h). Safe from any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace tamix::ivf_kernels {

struct DotKernel {
  const char* name;
  size_t tile;  // centroids per packed tile; a last tile may hold tile / 2
  size_t rows;  // sample rows one call takes at full speed
  // Dots of rows[0, nrows) (nrows ≤ rows) with the `width` centroids packed at `tiles`:
  // two tiles (width 2 × tile) or one, whole (tile) or half (tile / 2), each tile holding
  // component t of its centroids at [t × its width, ...). Writes the dot of row r and
  // centroid q to out[r × out_stride + q]. Each dot is summed in single precision in
  // component order, one rounding per operation: its error is at most
  // γ(dim + 1) × Σ |row component × centroid component|.
  void (*tile_dots)(const float* const* rows, size_t nrows, const float* tiles, size_t width,
                    size_t dim, float* out, size_t out_stride);
};

// The kernel for this processor.
const DotKernel& dot_kernel();

// Every variant this processor can run, the portable one first.
std::vector<const DotKernel*> dot_kernel_variants();

}  // namespace tamix::ivf_kernels
