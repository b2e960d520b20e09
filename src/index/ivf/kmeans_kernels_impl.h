// Kernel bodies, included by kmeans_kernels.cc once per instruction set inside a target
// region: TAMIX_KERNEL_NS names the namespace, TAMIX_KERNEL_BYTES the register width (64
// for AVX-512, 32 for AVX2, 16 for SSE2 and NEON). No include guard on purpose.

namespace TAMIX_KERNEL_NS {

typedef float FV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));
typedef float HV __attribute__((vector_size(TAMIX_KERNEL_BYTES / 2)));  // a half tile

constexpr size_t kTile = TAMIX_KERNEL_BYTES / 4;
// As many rows as leave two accumulators per row, two tile vectors and a broadcast in
// registers (32 vector registers with AVX-512, 16 otherwise).
constexpr size_t kRows = TAMIX_KERNEL_BYTES == 64 ? 12 : (TAMIX_KERNEL_BYTES == 32 ? 6 : 4);

#include "core/kernel_vectors.inc"

// R rows against T tiles of vectors V: every tile vector loaded serves R rows from a register.
template <class V, size_t R, size_t T>
TAMIX_INLINE void block(const float* const* rows, const float* tiles, size_t dim, float* out,
                        size_t stride) {
  constexpr size_t kWidth = sizeof(V) / sizeof(float);
  V acc[R][T] = {};
  const float* rp[R];
  for (size_t r = 0; r < R; ++r) rp[r] = rows[r];
  for (size_t t = 0; t < dim; ++t) {
    V c[T];
    for (size_t i = 0; i < T; ++i) c[i] = load<V>(tiles + (i * dim + t) * kWidth);
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
      const V x = splat<V>(rp[r][t]);
      for (size_t i = 0; i < T; ++i) acc[r][i] = mul_add(x, c[i], acc[r][i]);
    }
  }
  for (size_t r = 0; r < R; ++r) {
    for (size_t i = 0; i < T; ++i) store(out + r * stride + i * kWidth, acc[r][i]);
  }
}

template <class V, size_t T>
TAMIX_INLINE void rows_block(const float* const* rows, size_t nrows, const float* tiles, size_t dim,
                             float* out, size_t stride) {
  if (nrows == kRows) return block<V, kRows, T>(rows, tiles, dim, out, stride);
  for (size_t r = 0; r < nrows; ++r) block<V, 1, T>(rows + r, tiles, dim, out + r * stride, stride);
}

static void tile_dots(const float* const* rows, size_t nrows, const float* tiles, size_t width,
                      size_t dim, float* out, size_t stride) {
  if (width == 2 * kTile) return rows_block<FV, 2>(rows, nrows, tiles, dim, out, stride);
  if (width == kTile) return rows_block<FV, 1>(rows, nrows, tiles, dim, out, stride);
  rows_block<HV, 1>(rows, nrows, tiles, dim, out, stride);
}

// Bit l set when lower[l] is not above c (NaN included).
TAMIX_INLINE uint32_t not_above(const FV& lower, const FV& c) {
#if defined(__x86_64__) && TAMIX_KERNEL_BYTES == 64
  return _mm512_cmp_ps_mask(reinterpret_cast<__m512>(lower), reinterpret_cast<__m512>(c),
                            _CMP_NGT_UQ);
#elif defined(__x86_64__) && TAMIX_KERNEL_BYTES == 32
  return static_cast<uint32_t>(_mm256_movemask_ps(
      _mm256_cmp_ps(reinterpret_cast<__m256>(lower), reinterpret_cast<__m256>(c), _CMP_NGT_UQ)));
#elif defined(__SSE2__) && TAMIX_KERNEL_BYTES == 16
  return static_cast<uint32_t>(
      _mm_movemask_ps(_mm_cmpngt_ps(reinterpret_cast<__m128>(lower), reinterpret_cast<__m128>(c))));
#else
  uint32_t bits = 0;
  for (size_t l = 0; l < kTile; ++l) bits |= static_cast<uint32_t>(!(lower[l] > c[l])) << l;
  return bits;
#endif
}

static size_t candidates(const float* dots, const float* norms, size_t k, float row_norm, float rel,
                         float abs, float* lower, uint32_t* out) {
  const FV vnorm = splat<FV>(row_norm), vrel = splat<FV>(rel), vabs = splat<FV>(abs);
  FV vceiling = splat<FV>(__builtin_inff());
  size_t j = 0;
  for (; j + kTile <= k; j += kTile) {
    const FV n = vnorm + load<FV>(norms + j);
    const FV a = n - 2.0f * load<FV>(dots + j);
    const FV m = vrel * n + vabs;
    const FV upper = a + m;
    vceiling = upper < vceiling ? upper : vceiling;
    store(lower + j, a - m);
  }
  float ceiling = __builtin_inff();
  for (; j < k; ++j) {
    const float n = row_norm + norms[j];
    const float a = n - 2.0f * dots[j];
    const float m = rel * n + abs;
    ceiling = a + m < ceiling ? a + m : ceiling;
    lower[j] = a - m;
  }
  for (size_t l = 0; l < kTile; ++l) ceiling = vceiling[l] < ceiling ? vceiling[l] : ceiling;
  size_t count = 0;
  const FV vc = splat<FV>(ceiling);
  for (j = 0; j + kTile <= k; j += kTile) {
    for (uint32_t bits = not_above(load<FV>(lower + j), vc); bits != 0; bits &= bits - 1) {
      out[count++] = static_cast<uint32_t>(j + __builtin_ctz(bits));
    }
  }
  for (; j < k; ++j) {
    if (!(lower[j] > ceiling)) out[count++] = static_cast<uint32_t>(j);
  }
  return count;
}

#undef TAMIX_INLINE

}  // namespace TAMIX_KERNEL_NS
