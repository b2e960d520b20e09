// The one translation unit that includes SimSIMD. Its x86/Arm kernels are compiled in
// through the library's own target pragmas, so the rest of the build needs no -march and
// the binary still runs on processors without them.
#if defined(__x86_64__) || defined(_M_X64)
#define SIMSIMD_TARGET_HASWELL 1
#define SIMSIMD_TARGET_SKYLAKE 1
#define SIMSIMD_TARGET_ICE 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define SIMSIMD_TARGET_NEON 1
#define SIMSIMD_TARGET_SVE 1
#endif
#define SIMSIMD_DYNAMIC_DISPATCH 0

#include "core/distance.h"

// GCC reports the intrinsics' own `__m512i __Y = __Y;` idiom when it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <simsimd/simsimd.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace tamix {
namespace {

using Kernel = void (*)(const simsimd_f32_t*, const simsimd_f32_t*, simsimd_size_t,
                        simsimd_distance_t*);

struct Chosen {
  Kernel kernel;
  simsimd_capability_t capability;
};

Chosen choose(simsimd_metric_kind_t metric, Kernel fallback) {
  simsimd_kernel_punned_t punned = nullptr;
  simsimd_capability_t used = simsimd_cap_serial_k;
  simsimd_find_kernel_punned(metric, simsimd_datatype_f32_k, simsimd_capabilities(),
                             simsimd_cap_any_k, &punned, &used);
  if (punned == nullptr) return {fallback, simsimd_cap_serial_k};
  // Through void(*)(): the one function-pointer type every other converts to without a warning.
  return {reinterpret_cast<Kernel>(reinterpret_cast<void (*)()>(punned)), used};
}

const Chosen& cos_kernel() {
  static const Chosen chosen = choose(simsimd_metric_cos_k, &simsimd_cos_f32_serial);
  return chosen;
}

const Chosen& l2sq_kernel() {
  static const Chosen chosen = choose(simsimd_metric_l2sq_k, &simsimd_l2sq_f32_serial);
  return chosen;
}

const Chosen& dot_kernel() {
  static const Chosen chosen = choose(simsimd_metric_dot_k, &simsimd_dot_f32_serial);
  return chosen;
}

}  // namespace

double cos_distance(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  cos_kernel().kernel(a, b, n, &d);
  return d;
}

double l2sq_distance(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  l2sq_kernel().kernel(a, b, n, &d);
  return d;
}

double dot_product(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  dot_kernel().kernel(a, b, n, &d);
  return d;
}

#if defined(__x86_64__) || defined(_M_X64)
namespace {

// The skylake dot kernel's steps on W vectors at once: each sum sees the same loads,
// fused multiply-adds and reduction as a call of its own, so the values are identical, while
// the W streams of loads and chains of additions overlap.
template <int W>
__attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi2"))) void dots_skylake(
    const float* a, const float* const* b, size_t n, double* out) {
  const float* p[W];
  __m512 sum[W];
  for (int j = 0; j < W; ++j) p[j] = b[j], sum[j] = _mm512_setzero();
  size_t at = 0;
  for (;;) {
    if (n - at < 16) {
      const __mmask16 mask =
          static_cast<__mmask16>(_bzhi_u32(0xFFFFFFFF, static_cast<unsigned>(n - at)));
      const __m512 av = _mm512_maskz_loadu_ps(mask, a + at);
      for (int j = 0; j < W; ++j)
        sum[j] = _mm512_fmadd_ps(av, _mm512_maskz_loadu_ps(mask, p[j] + at), sum[j]);
      break;
    }
    const __m512 av = _mm512_loadu_ps(a + at);
    for (int j = 0; j < W; ++j) sum[j] = _mm512_fmadd_ps(av, _mm512_loadu_ps(p[j] + at), sum[j]);
    at += 16;
    if (at == n) break;
  }
  for (int j = 0; j < W; ++j) out[j] = _simsimd_reduce_f32x16_skylake(sum[j]);
}

}  // namespace
#endif

void dot_products(const float* a, const float* const* b, size_t count, size_t n, double* out) {
#if defined(__x86_64__) || defined(_M_X64)
  if (dot_kernel().kernel == &simsimd_dot_f32_skylake) {
    for (; count >= 4; count -= 4, b += 4, out += 4) dots_skylake<4>(a, b, n, out);
    if (count == 3) dots_skylake<3>(a, b, n, out);
    if (count == 2) dots_skylake<2>(a, b, n, out);
    if (count == 1) dots_skylake<1>(a, b, n, out);
    return;
  }
#endif
  for (size_t i = 0; i < count; ++i) out[i] = dot_product(a, b[i], n);
}

double cos_distance_serial(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  simsimd_cos_f32_serial(a, b, n, &d);
  return d;
}

double l2sq_distance_serial(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  simsimd_l2sq_f32_serial(a, b, n, &d);
  return d;
}

double dot_product_serial(const float* a, const float* b, size_t n) {
  simsimd_distance_t d = 0;
  simsimd_dot_f32_serial(a, b, n, &d);
  return d;
}

const char* distance_kernel_name() {
  switch (cos_kernel().capability) {
    case simsimd_cap_skylake_k:
      return "skylake";
    case simsimd_cap_haswell_k:
      return "haswell";
    case simsimd_cap_neon_k:
      return "neon";
    case simsimd_cap_sve_k:
      return "sve";
    default:
      return "serial";
  }
}

}  // namespace tamix
