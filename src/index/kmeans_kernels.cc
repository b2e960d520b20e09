// One body of kernels (kmeans_kernels_impl.h), compiled for AVX-512 and AVX2 inside target
// regions and for the baseline, so the build needs no -march and still runs on any processor.
#include "index/kmeans_kernels.h"

#include <cstdint>
#include <cstring>

#include "core/kernel_targets.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tamix::kmeans {

#define TAMIX_KERNEL_IMPL "index/kmeans_kernels_impl.h"
#include "core/kernel_targets.inc"

namespace {

#define TAMIX_KMEANS_KERNELS(ns) \
  Kernels { #ns, ns::kTile, ns::kRows, &ns::tile_dots, &ns::candidates }

const Kernels kPortable = TAMIX_KMEANS_KERNELS(portable);
#ifdef TAMIX_X86_KERNELS
const Kernels kAvx2 = TAMIX_KMEANS_KERNELS(avx2);
const Kernels kAvx512 = TAMIX_KMEANS_KERNELS(avx512);
#endif

}  // namespace

std::vector<const Kernels*> kernel_variants() {
#ifdef TAMIX_X86_KERNELS
  return cpu::kernel_variants(&kPortable, &kAvx2, &kAvx512);
#else
  return cpu::kernel_variants<Kernels>(&kPortable, nullptr, nullptr);
#endif
}

const Kernels& kernels() {
  static const Kernels* chosen = kernel_variants().back();
  return *chosen;
}

}  // namespace tamix::kmeans
