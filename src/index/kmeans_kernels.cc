// One body of kernels (kmeans_kernels_impl.h), compiled for AVX-512 and AVX2 inside target
// regions and for the baseline, so the build needs no -march and still runs on any processor.
#include "index/kmeans_kernels.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// 512-bit vector types live in helpers that are always inlined: no value crosses a call.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace tamix::kmeans {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAMIX_X86_KERNELS 1

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
#endif
#define TAMIX_KERNEL_NS avx512
#define TAMIX_KERNEL_BYTES 64
#include "index/kmeans_kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
#define TAMIX_KERNEL_NS avx2
#define TAMIX_KERNEL_BYTES 32
#include "index/kmeans_kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif  // x86-64

#define TAMIX_KERNEL_NS portable
#define TAMIX_KERNEL_BYTES 16
#include "index/kmeans_kernels_impl.h"
#undef TAMIX_KERNEL_NS
#undef TAMIX_KERNEL_BYTES

namespace {

#define TAMIX_KMEANS_KERNELS(ns) \
  Kernels { #ns, ns::kTile, ns::kRows, &ns::tile_dots, &ns::candidates }

const Kernels kPortable = TAMIX_KMEANS_KERNELS(portable);
#ifdef TAMIX_X86_KERNELS
const Kernels kAvx2 = TAMIX_KMEANS_KERNELS(avx2);
const Kernels kAvx512 = TAMIX_KMEANS_KERNELS(avx512);

bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
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

}  // namespace tamix::kmeans
