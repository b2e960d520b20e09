// One kernel body compiled for each processor level the binary may meet, without -march.
// A kernel file defines TAMIX_KERNEL_IMPL (the header holding its body, written against
// TAMIX_KERNEL_NS and TAMIX_KERNEL_BYTES) and includes "core/kernel_targets.inc" inside its
// own namespace: the body becomes namespaces avx512 (64-byte vectors, x86-64 only), avx2
// (32, x86-64 only) and portable (16). The file then picks a table with kernel_variants.
#pragma once

#include <vector>

namespace tamix::cpu {

bool has_avx512();  // F, BW, DQ and VL
bool has_avx2();    // with FMA

// The variants this processor runs, portable first, best last; null ones are left out.
template <class Kernels>
std::vector<const Kernels*> kernel_variants(const Kernels* portable, const Kernels* avx2,
                                            const Kernels* avx512) {
  std::vector<const Kernels*> out{portable};
  if (avx2 != nullptr && has_avx2()) out.push_back(avx2);
  if (avx512 != nullptr && has_avx512()) out.push_back(avx512);
  return out;
}

}  // namespace tamix::cpu
