// The inner loops of the quantizers, compiled once per instruction set and chosen once per
// process from the processor's features (like core/distance.h). Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamix::quant {

inline constexpr size_t kCentroids = 256;

// 256 centroids of `dim` floats laid out for the kernels.
struct CentroidLayout {
  const float* by_component;  // dim × 256: component t of centroid q at [t × 256 + q]
  const float* scale;         // 256: 1 / |c_q|; 0 for a short or non-finite centroid
  const float* shortness;     // 256: 1 for a centroid shorter than 1e-10, else 0
  const float* penalty;       // 256: -inf for a centroid with a non-finite component, else 0
  size_t dim;
};

struct Kernels {
  const char* name;
  // out[r] = Σ weights[j] × codes[r × stride + j] over j < n, for r < count: single
  // precision, summed in lanes.
  void (*weighted_code_sums)(const float* weights, const uint8_t* codes, size_t stride, size_t n,
                             size_t count, float* out);
  // out[q] = Σ v[t] × c_q[t] over t < dim, for every q, summed in index order exactly.
  void (*centroid_dots)(const float* v, const CentroidLayout& c, float* out);
  // The centroid of greatest similarity dot × scale − shortness × |v| + penalty (the
  // cosine similarity times |v|); ties go to the later centroid. v has `dim` floats.
  uint32_t (*nearest)(const float* v, float norm, const CentroidLayout& c);
  // out[r] = Σ table[i × 256 + codes[r × m + i]] over i < m, for r < count (summed in
  // eight interleaved chains).
  void (*table_sums)(const float* table, const uint8_t* codes, size_t m, size_t count, float* out);
};

// The kernels for this processor.
const Kernels& kernels();

// Every variant this processor can run, the portable one first: the reference the others
// are tested against.
std::vector<const Kernels*> kernel_variants();

}  // namespace tamix::quant
