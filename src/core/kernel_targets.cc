#include "core/kernel_targets.h"

namespace tamix::cpu {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
bool has_avx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}
bool has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
#else
bool has_avx512() { return false; }
bool has_avx2() { return false; }
#endif

}  // namespace tamix::cpu
