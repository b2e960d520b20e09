// One body of kernels (kernels_impl.h), compiled for AVX-512 and AVX2 inside target regions
// and for the baseline, so the build needs no -march and still runs on any processor.
#include "quant/kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/kernel_targets.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tamix::quant {

#define TAMIX_KERNEL_IMPL "quant/kernels_impl.h"
#include "core/kernel_targets.inc"

namespace {

// Scalar lookups in eight chains, compiled once for the baseline: measured, gathers are no
// faster (microcode slows them on current processors) and the VEX encoding of this loop is
// a little slower. Codes are read eight to a load and the row pointer moves with them, so
// each entry costs one load-and-add.
float table_sum(const float* table, const uint8_t* codes, size_t m) {
  constexpr size_t K = kCentroids;
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
  const float* row = table;
  size_t i = 0;
  for (; i + 8 <= m; i += 8, row += 8 * K) {
    uint64_t c;
    std::memcpy(&c, codes + i, sizeof c);
    s0 += row[c & 0xFF];
    s1 += row[K + ((c >> 8) & 0xFF)];
    s2 += row[2 * K + ((c >> 16) & 0xFF)];
    s3 += row[3 * K + ((c >> 24) & 0xFF)];
    s4 += row[4 * K + ((c >> 32) & 0xFF)];
    s5 += row[5 * K + ((c >> 40) & 0xFF)];
    s6 += row[6 * K + ((c >> 48) & 0xFF)];
    s7 += row[7 * K + (c >> 56)];
  }
  for (; i < m; ++i, row += K) s0 += row[codes[i]];
  return ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
}

void table_sums(const float* table, const uint8_t* codes, size_t m, size_t count, float* out) {
  for (size_t r = 0; r < count; ++r) out[r] = table_sum(table, codes + r * m, m);
}

}  // namespace

#define TAMIX_KERNEL_TABLE(ns) \
  Kernels { #ns, &ns::weighted_code_sums, &ns::centroid_dots, &ns::nearest, &table_sums }
#include "core/kernel_choice.inc"

}  // namespace tamix::quant
