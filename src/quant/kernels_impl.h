// Kernel bodies, included by kernels.cc once per instruction set inside a target region:
// TAMIX_KERNEL_NS names the namespace, TAMIX_KERNEL_BYTES the register width (64 for
// AVX-512, 32 for AVX2, 16 for SSE2 and NEON). No include guard on purpose.

namespace TAMIX_KERNEL_NS {

constexpr int kLanes = TAMIX_KERNEL_BYTES / 4;

typedef float FV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));
typedef int32_t IV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));
typedef uint8_t UV __attribute__((vector_size(TAMIX_KERNEL_BYTES / 4)));

#define TAMIX_INLINE static inline __attribute__((always_inline))

TAMIX_INLINE FV load(const float* p) {
  FV v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TAMIX_INLINE void store(float* p, const FV& v) { std::memcpy(p, &v, sizeof v); }

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

// x - (+0) is x for every x, signed zeros and NaN included, and compiles to a broadcast.
TAMIX_INLINE FV splat(float x) { return x - FV{}; }

TAMIX_INLINE float lane_sum(const FV& v) {
  float s = 0;
  for (int i = 0; i < kLanes; ++i) s += v[i];
  return s;
}

static float weighted_code_sum(const float* w, const uint8_t* codes, size_t n) {
  constexpr size_t L = kLanes;
  FV a0{}, a1{}, a2{}, a3{};  // four chains hide the add latency
  size_t j = 0;
  for (; j + 4 * L <= n; j += 4 * L) {
    a0 += load(w + j) * load_codes(codes + j);
    a1 += load(w + j + L) * load_codes(codes + j + L);
    a2 += load(w + j + 2 * L) * load_codes(codes + j + 2 * L);
    a3 += load(w + j + 3 * L) * load_codes(codes + j + 3 * L);
  }
  for (; j + L <= n; j += L) a0 += load(w + j) * load_codes(codes + j);
  float sum = lane_sum((a0 + a1) + (a2 + a3));
  for (; j < n; ++j) sum += w[j] * static_cast<float>(codes[j]);
  return sum;
}

// Dots of v with the 4 × kLanes centroids from g on; each sums in component order.
TAMIX_INLINE void dots4(const float* v, const quant::CentroidLayout& c, size_t g, FV& a0, FV& a1,
                        FV& a2, FV& a3) {
  constexpr size_t L = kLanes;
  a0 = a1 = a2 = a3 = FV{};
  for (size_t t = 0; t < c.dim; ++t) {
    const FV vt = splat(v[t]);
    const float* row = c.by_component + t * quant::kCentroids + g;
    a0 += vt * load(row);
    a1 += vt * load(row + L);
    a2 += vt * load(row + 2 * L);
    a3 += vt * load(row + 3 * L);
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
  const FV none = splat(-__builtin_inff());
  sim = sim == sim ? sim : none;  // a NaN similarity never wins
  const IV better = sim >= best.value;
  best.value = better ? sim : best.value;
  best.index = better ? index : best.index;
}

static uint32_t nearest(const float* v, float norm, const quant::CentroidLayout& c) {
  constexpr size_t L = kLanes;
  const FV neg_norm = splat(-norm);
  Best best{splat(-__builtin_inff()), IV{}};
  IV index{};
  for (int l = 0; l < kLanes; ++l) index[l] = l;
  for (size_t g = 0; g < quant::kCentroids; g += 4 * L) {
    FV a[4];
    dots4(v, c, g, a[0], a[1], a[2], a[3]);
    for (size_t b = 0; b < 4; ++b) {
      const size_t q = g + b * L;
      offer(best, a[b] * load(c.scale + q) + load(c.shortness + q) * neg_norm + load(c.penalty + q),
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

static float table_sum(const float* table, const uint8_t* codes, size_t m) {
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= m; i += 4) {
    s0 += table[i * quant::kCentroids + codes[i]];
    s1 += table[(i + 1) * quant::kCentroids + codes[i + 1]];
    s2 += table[(i + 2) * quant::kCentroids + codes[i + 2]];
    s3 += table[(i + 3) * quant::kCentroids + codes[i + 3]];
  }
  for (; i < m; ++i) s0 += table[i * quant::kCentroids + codes[i]];
  return (s0 + s1) + (s2 + s3);
}

#undef TAMIX_INLINE

}  // namespace TAMIX_KERNEL_NS
