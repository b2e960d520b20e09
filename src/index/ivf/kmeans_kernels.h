// The inner loops of the k-means assignment, compiled once per instruction set and chosen
// once per process from the processor's features (like core/distance.h). Safe from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamix::kmeans {

struct Kernels {
  const char* name;
  size_t tile;  // centroids per packed tile; a last tile may hold tile / 2
  size_t rows;  // sample rows one tile_dots call takes at full speed

  // Dots of rows[0, nrows) (nrows ≤ rows) with the `width` centroids packed at `tiles`:
  // two tiles (width 2 × tile) or one, whole (tile) or half (tile / 2), each tile holding
  // component t of its centroids at [t × its width, ...). Writes the dot of row r and
  // centroid q to out[r × out_stride + q]. Each dot is summed in single precision in
  // component order, one rounding per operation: its error is at most
  // γ(dim + 1) × Σ |row component × centroid component|.
  void (*tile_dots)(const float* const* rows, size_t nrows, const float* tiles, size_t width,
                    size_t dim, float* out, size_t out_stride);

  // For j < k, in single precision: n = row_norm + norms[j], a = n - 2 dots[j],
  // m = rel × n + abs, and the bounds a - m and a + m. Writes to `out`, in increasing order,
  // every j whose lower bound is not above the least upper bound (NaN bounds count as not
  // above, and never as least), and returns how many. `lower` has room for k floats.
  size_t (*candidates)(const float* dots, const float* norms, size_t k, float row_norm, float rel,
                       float abs, float* lower, uint32_t* out);
};

// The kernels for this processor.
const Kernels& kernels();

// Every variant this processor can run, the portable one first.
std::vector<const Kernels*> kernel_variants();

}  // namespace tamix::kmeans
