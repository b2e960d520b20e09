// One body of kernels (kernels_impl.h), compiled for AVX-512 and AVX2 inside target regions
// and for the baseline, so the build needs no -march and still runs on any processor.
#include "quant/kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// 512-bit vector types live in helpers that are always inlined: no value crosses a call.
// GCC also reports the intrinsics' own `__m512i __Y = __Y;` idiom once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tamix::quant {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAMIX_X86_KERNELS 1

// Functions defined between the two compile for the named instruction sets.
#define TAMIX_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define TAMIX_TARGET_BEGIN(isa) \
  TAMIX_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define TAMIX_TARGET_END TAMIX_PRAGMA(clang attribute pop)
#else
#define TAMIX_TARGET_BEGIN(isa) TAMIX_PRAGMA(GCC push_options) TAMIX_PRAGMA(GCC target(isa))
#define TAMIX_TARGET_END TAMIX_PRAGMA(GCC pop_options)
#endif

TAMIX_TARGET_BEGIN("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma")
#define TAMIX_KERNEL_NS avx512
#define TAMIX_KERNEL_BYTES 64
#include "quant/kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES
TAMIX_TARGET_END

TAMIX_TARGET_BEGIN("avx2,fma")
#define TAMIX_KERNEL_NS avx2
#define TAMIX_KERNEL_BYTES 32
#include "quant/kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES
TAMIX_TARGET_END
#endif  // x86-64

#define TAMIX_KERNEL_NS portable
#define TAMIX_KERNEL_BYTES 16
#include "quant/kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES

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

#define TAMIX_KERNEL_TABLE(ns) \
  Kernels { #ns, &ns::weighted_code_sums, &ns::centroid_dots, &ns::nearest, &table_sums }

const Kernels kPortable = TAMIX_KERNEL_TABLE(portable);
#ifdef TAMIX_X86_KERNELS
const Kernels kAvx2 = TAMIX_KERNEL_TABLE(avx2);
const Kernels kAvx512 = TAMIX_KERNEL_TABLE(avx512);

bool has_avx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}
bool has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
#endif

}  // namespace

std::vector<const Kernels*> kernel_variants() {
  std::vector<const Kernels*> out{&kPortable};
#ifdef TAMIX_X86_KERNELS
  if (has_avx2()) out.push_back(&kAvx2);
  if (has_avx512()) out.push_back(&kAvx512);
#endif
  return out;
}

const Kernels& kernels() {
  static const Kernels* chosen = kernel_variants().back();
  return *chosen;
}

}  // namespace tamix::quant
