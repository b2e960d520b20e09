// Kernel bodies, included by kernels.cc once per instruction set inside a target region:
// TAMIX_KERNEL_NS names the namespace, TAMIX_KERNEL_BYTES the register width (64 for
// AVX-512, 32 for AVX2, 16 for SSE2 and NEON). No include guard on purpose.

namespace TAMIX_KERNEL_NS {

constexpr int kLanes = TAMIX_KERNEL_BYTES / 4;

typedef float FV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));
typedef int32_t IV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));
typedef uint8_t UV __attribute__((vector_size(TAMIX_KERNEL_BYTES / 4)));

#include "core/kernel_vectors.inc"

// kLanes code bytes as floats. Compilers scalarise a generic u8 -> float vector conversion
// on x86, so there the widening is spelled out.
TAMIX_INLINE FV load_codes(const uint8_t* p) {
#if TAMIX_KERNEL_BYTES == 64 && defined(__x86_64__)
  return reinterpret_cast<FV>(_mm512_cvtepi32_ps(
      _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
#elif TAMIX_KERNEL_BYTES == 32 && defined(__x86_64__)
  return reinterpret_cast<FV>(_mm256_cvtepi32_ps(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))));
#elif TAMIX_KERNEL_BYTES == 16 && defined(__SSE2__)
  int32_t word;
  std::memcpy(&word, p, sizeof word);
  const __m128i zero = _mm_setzero_si128();
  const __m128i c = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
  return reinterpret_cast<FV>(_mm_cvtepi32_ps(_mm_unpacklo_epi16(c, zero)));
#else
  UV c;
  std::memcpy(&c, p, sizeof c);
  return __builtin_convertvector(__builtin_convertvector(c, IV), FV);
#endif
}

// Pairwise: a sequential sum of the lanes would be one long dependency chain per record.
TAMIX_INLINE float lane_sum(const FV& v) {
  float a[kLanes];
  std::memcpy(a, &v, sizeof a);
  for (int w = kLanes / 2; w >= 1; w /= 2) {
    for (int i = 0; i < w; ++i) a[i] += a[i + w];
  }
  return a[0];
}

TAMIX_INLINE float weighted_code_sum(const float* w, const uint8_t* codes, size_t n) {
  constexpr size_t L = kLanes;
  FV a0{}, a1{};
  size_t j = 0;
  for (; j + 2 * L <= n; j += 2 * L) {
    a0 = mul_add(load<FV>(w + j), load_codes(codes + j), a0);
    a1 = mul_add(load<FV>(w + j + L), load_codes(codes + j + L), a1);
  }
  for (; j + L <= n; j += L) a0 = mul_add(load<FV>(w + j), load_codes(codes + j), a0);
  float sum = lane_sum(a0 + a1);
  for (; j < n; ++j) sum += w[j] * static_cast<float>(codes[j]);
  return sum;
}

// Four records at once: each weight vector is loaded once for all four, and the four
// chains hide each other's latency.
static void weighted_code_sums(const float* w, const uint8_t* codes, size_t stride, size_t n,
                               size_t count, float* out) {
  constexpr size_t L = kLanes;
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const uint8_t* c0 = codes + r * stride;
    const uint8_t *c1 = c0 + stride, *c2 = c1 + stride, *c3 = c2 + stride;
    // The hardware prefetcher alone leaves a single core well below its memory bandwidth:
    // ask for the records two groups ahead.
    for (size_t b = (r + 8) * stride; b < std::min(r + 12, count) * stride; b += 64) {
      __builtin_prefetch(codes + b);
    }
    FV a0{}, a1{}, a2{}, a3{};
    size_t j = 0;
    for (; j + L <= n; j += L) {
      const FV wj = load<FV>(w + j);
      a0 = mul_add(wj, load_codes(c0 + j), a0);
      a1 = mul_add(wj, load_codes(c1 + j), a1);
      a2 = mul_add(wj, load_codes(c2 + j), a2);
      a3 = mul_add(wj, load_codes(c3 + j), a3);
    }
    float s[4] = {lane_sum(a0), lane_sum(a1), lane_sum(a2), lane_sum(a3)};
    for (; j < n; ++j) {
      s[0] += w[j] * static_cast<float>(c0[j]);
      s[1] += w[j] * static_cast<float>(c1[j]);
      s[2] += w[j] * static_cast<float>(c2[j]);
      s[3] += w[j] * static_cast<float>(c3[j]);
    }
    for (int i = 0; i < 4; ++i) out[r + i] = s[i];
  }
  for (; r < count; ++r) out[r] = weighted_code_sum(w, codes + r * stride, n);
}

// Dots of v with the 4 × kLanes centroids from g on; each sums in component order.
TAMIX_INLINE void dots4(const float* v, const quant::CentroidLayout& c, size_t g, FV& a0, FV& a1,
                        FV& a2, FV& a3) {
  constexpr size_t L = kLanes;
  a0 = a1 = a2 = a3 = FV{};
  for (size_t t = 0; t < c.dim; ++t) {
    const FV vt = splat<FV>(v[t]);
    const float* row = c.by_component + t * quant::kCentroids + g;
    a0 += vt * load<FV>(row);
    a1 += vt * load<FV>(row + L);
    a2 += vt * load<FV>(row + 2 * L);
    a3 += vt * load<FV>(row + 3 * L);
  }
}

static void centroid_dots(const float* v, const quant::CentroidLayout& c, float* out) {
  constexpr size_t L = kLanes;
  for (size_t g = 0; g < quant::kCentroids; g += 4 * L) {
    FV a0, a1, a2, a3;
    dots4(v, c, g, a0, a1, a2, a3);
    store(out + g, a0);
    store(out + g + L, a1);
    store(out + g + 2 * L, a2);
    store(out + g + 3 * L, a3);
  }
}

struct Best {
  FV value;
  IV index;
};

// Lane l follows the centroids l, l + kLanes, ...; >= lets the later of equals win.
TAMIX_INLINE void offer(Best& best, FV sim, const IV& index) {
  const FV none = splat<FV>(-__builtin_inff());
  sim = sim == sim ? sim : none;  // a NaN similarity never wins
  const IV better = sim >= best.value;
  best.value = better ? sim : best.value;
  best.index = better ? index : best.index;
}

static uint32_t nearest(const float* v, float norm, const quant::CentroidLayout& c) {
  constexpr size_t L = kLanes;
  const FV neg_norm = splat<FV>(-norm);
  Best best{splat<FV>(-__builtin_inff()), IV{}};
  IV index{};
  for (int l = 0; l < kLanes; ++l) index[l] = l;
  for (size_t g = 0; g < quant::kCentroids; g += 4 * L) {
    FV a[4];
    dots4(v, c, g, a[0], a[1], a[2], a[3]);
    for (size_t b = 0; b < 4; ++b) {
      const size_t q = g + b * L;
      offer(best,
            a[b] * load<FV>(c.scale + q) + load<FV>(c.shortness + q) * neg_norm +
                load<FV>(c.penalty + q),
            index);
      index += static_cast<int32_t>(L);
    }
  }
  float value = best.value[0];
  int32_t at = best.index[0];
  for (int l = 1; l < kLanes; ++l) {
    if (best.value[l] > value || (best.value[l] == value && best.index[l] > at)) {
      value = best.value[l];
      at = best.index[l];
    }
  }
  return static_cast<uint32_t>(at);
}

#undef TAMIX_INLINE

}  // namespace TAMIX_KERNEL_NS
