// Distances between float vectors of equal length through SimSIMD's kernels. The kernel is
// chosen once per process from the processor's features; safe to call from any thread.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tamix {

// 1 - cosine similarity: 0 for equal directions, 1 orthogonal, 2 opposite.
double cos_distance(const float* a, const float* b, size_t n);
double l2sq_distance(const float* a, const float* b, size_t n);
// Inner product, accumulated in single precision in the kernel's own order.
double dot_product(const float* a, const float* b, size_t n);
// out[i] = dot_product(a, b[i], n) for i below count, the same values, faster: a graph
// search waits on memory, and a few vectors read at once overlap their misses.
void dot_products(const float* a, const float* const* b, size_t count, size_t n, double* out);

// A stored vector's own share of cos_distance, taken once per vector so that a scan pays only
// the dot products: out[i] = cos_distance(a, b[i], n) bit for bit, given
// factors[i] = cos_factor(b[i], n). A scan whose rows lie in ascending order in one mapping
// passes ahead = scan_prefetch_distance(n): each row is then also fetched that many bytes on,
// the values unchanged.
double cos_factor(const float* b, size_t n);
void cos_distances(const float* a, const float* const* b, const double* factors, size_t count,
                   size_t n, double* out, size_t ahead = 0);
size_t scan_prefetch_distance(size_t n);

// visit(i, dot_product(a, row(i), n)) for i from 0 below count, in order, through
// dot_products a few rows at a time.
template <class Row, class Visit>
void for_each_dot(const float* a, size_t count, size_t n, Row row, Visit visit) {
  constexpr size_t kGroup = 4;
  const float* rows[kGroup];
  double dots[kGroup];
  for (size_t i = 0; i < count; i += kGroup) {
    const size_t m = std::min(kGroup, count - i);
    for (size_t j = 0; j < m; ++j) rows[j] = row(i + j);
    dot_products(a, rows, m, n, dots);
    for (size_t j = 0; j < m; ++j) visit(i + j, dots[j]);
  }
}

// Name of the chosen kernel family: "skylake", "haswell", "neon", "sve" or "serial".
const char* distance_kernel_name();

// The portable kernels, the reference the SIMD ones are checked against.
double cos_distance_serial(const float* a, const float* b, size_t n);
double l2sq_distance_serial(const float* a, const float* b, size_t n);
double dot_product_serial(const float* a, const float* b, size_t n);

}  // namespace tamix
