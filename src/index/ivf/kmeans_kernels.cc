// One body of kernels (kmeans_kernels_impl.h), compiled for AVX-512 and AVX2 inside target
// regions and for the baseline, so the build needs no -march and still runs on any processor.
#include "index/ivf/kmeans_kernels.h"

#include <cstdint>
#include <cstring>

#include "core/kernel_targets.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tamix::kmeans {

#define TAMIX_KERNEL_IMPL "index/ivf/kmeans_kernels_impl.h"
#include "core/kernel_targets.inc"

#define TAMIX_KERNEL_TABLE(ns) \
  Kernels { #ns, ns::kTile, ns::kRows, &ns::tile_dots, &ns::candidates }
#include "core/kernel_choice.inc"

}  // namespace tamix::kmeans
