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

constexpr size_t kGroup = 4;  // rows whose dot products the scan kernel overlaps

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
// kAhead: also prefetch each row `ahead` bytes on (see cos_distances); values unchanged.
template <int W, bool kAhead = false>
__attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi2"))) void dots_skylake(
    const float* a, const float* const* b, size_t n, double* out, size_t ahead = 0) {
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
    if constexpr (kAhead) {
      for (int j = 0; j < W; ++j) {
        _mm_prefetch(reinterpret_cast<const char*>(p[j] + at) + ahead, _MM_HINT_T1);
      }
    }
    for (int j = 0; j < W; ++j) sum[j] = _mm512_fmadd_ps(av, _mm512_loadu_ps(p[j] + at), sum[j]);
    at += 16;
    if (at == n) break;
  }
  for (int j = 0; j < W; ++j) out[j] = _simsimd_reduce_f32x16_skylake(sum[j]);
}

template <bool kAhead = false>
void all_dots_skylake(const float* a, const float* const* b, size_t count, size_t n,
                      double* out, size_t ahead = 0) {
  for (; count >= kGroup; count -= kGroup, b += kGroup, out += kGroup) {
    dots_skylake<kGroup, kAhead>(a, b, n, out, ahead);
  }
  if (count == 3) dots_skylake<3, kAhead>(a, b, n, out, ahead);
  if (count == 2) dots_skylake<2, kAhead>(a, b, n, out, ahead);
  if (count == 1) dots_skylake<1, kAhead>(a, b, n, out, ahead);
}

// A vector's sum of squares in the skylake cosine kernel's order: its dot product with itself.
double squares_skylake(const float* a, size_t n) {
  double out = 0;
  dots_skylake<1>(a, &a, n, &out);
  return out;
}

// One lane of _simsimd_cos_normalize_f64_skylake's refined reciprocal square roots.
__attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi2"))) double reciprocal_root_skylake(
    double squares) {
  const __m128d s = _mm_set1_pd(squares);
  __m128d r = _mm_maskz_rsqrt14_pd(0xFF, s);
  r = _mm_add_pd(_mm_mul_pd(_mm_set1_pd(1.5), r),
                 _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(s, _mm_set1_pd(-0.5)), r), _mm_mul_pd(r, r)));
  return _mm_cvtsd_f64(r);
}

// The rest of _simsimd_cos_normalize_f64_skylake for a query that is not zero, eight at once:
// out[i] = ab == 0 ? 1 : max(1 - ab * a_factor * factors[i], 0) for ab = out[i], NaN to 0.
__attribute__((target("avx2,avx512f,avx512vl,avx512bw,bmi2"))) void normalize_skylake(
    double a_factor, const double* factors, size_t count, double* out) {
  const __m512d one = _mm512_set1_pd(1), zero = _mm512_setzero_pd();
  const __m512d af = _mm512_set1_pd(a_factor);
  for (size_t i = 0; i < count; i += 8) {
    const size_t left = count - i;
    const __mmask8 m = left >= 8 ? 0xFF : static_cast<__mmask8>((1u << left) - 1);
    const __m512d ab = _mm512_maskz_loadu_pd(m, out + i);
    const __m512d f = _mm512_maskz_loadu_pd(m, factors + i);
    const __m512d scaled = _mm512_sub_pd(one, _mm512_mul_pd(_mm512_mul_pd(ab, af), f));
    const __m512d d = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(ab, zero, _CMP_EQ_OQ), scaled, one);
    // max(d, 0) is d > 0 ? d : 0, the NaN included.
    _mm512_mask_storeu_pd(out + i, m, _mm512_max_pd(d, zero));
  }
}

bool cos_is_skylake() { return cos_kernel().kernel == &simsimd_cos_f32_skylake; }

}  // namespace
#endif

double cos_factor(const float* b, size_t n) {
#if defined(__x86_64__) || defined(_M_X64)
  if (cos_is_skylake()) return reciprocal_root_skylake(squares_skylake(b, n));
#endif
  (void)b, (void)n;
  return 0;
}

size_t scan_prefetch_distance(size_t n) {
  // Rows of a few hundred bytes, read a group at a time, keep too few misses in flight for
  // the hardware prefetcher alone: fetching 8 KB ahead took a 128-float scan of a mapping
  // from 42 to 37-39 ms per 512 MB. Whole groups, so each prefetch lands on a later group's row;
  // into L2 only, which leaves the first level's few fill buffers to the loads (2-5% faster
  // at 384 to 784 floats than into L1).
  constexpr size_t kAtLeast = 8192;
  const size_t group = std::max<size_t>(kGroup * n * sizeof(float), 1);
  return (kAtLeast + group - 1) / group * group;
}

void cos_distances(const float* a, const float* const* b, const double* factors, size_t count,
                   size_t n, double* out, size_t ahead) {
#if defined(__x86_64__) || defined(_M_X64)
  // The kernel treats a zero query on its own; it is rare enough to take the single calls.
  const double a2 = cos_is_skylake() ? squares_skylake(a, n) : 0;
  if (a2 != 0) {
    const double a_factor = reciprocal_root_skylake(a2);
    // The cosine kernel's dot product is the dot kernel's: the same loads, products and sums.
    if (ahead == 0) {
      all_dots_skylake(a, b, count, n, out);
    } else {
      all_dots_skylake<true>(a, b, count, n, out, ahead);
    }
    normalize_skylake(a_factor, factors, count, out);
    return;
  }
#endif
  (void)factors, (void)ahead;
  for (size_t i = 0; i < count; ++i) out[i] = cos_distance(a, b[i], n);
}

void dot_products(const float* a, const float* const* b, size_t count, size_t n, double* out) {
#if defined(__x86_64__) || defined(_M_X64)
  if (dot_kernel().kernel == &simsimd_dot_f32_skylake) return all_dots_skylake(a, b, count, n, out);
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
