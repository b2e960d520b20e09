// Kernel bodies, included by centroid_dots.cc once per instruction set inside a target
// region: TAMIX_KERNEL_NS names the namespace, TAMIX_KERNEL_BYTES the register width (64
// for AVX-512, 32 for AVX2, 16 for SSE2 and NEON). No include guard on purpose.

namespace TAMIX_KERNEL_NS {

constexpr size_t kTile = TAMIX_KERNEL_BYTES / 4;
// As many rows as leave two accumulators per row, two tile vectors and a broadcast in
// registers (32 vector registers with AVX-512, 16 otherwise).
constexpr size_t kRows = TAMIX_KERNEL_BYTES == 64 ? 12 : (TAMIX_KERNEL_BYTES == 32 ? 6 : 4);

typedef float FV __attribute__((vector_size(TAMIX_KERNEL_BYTES)));

#define TAMIX_INLINE static inline __attribute__((always_inline))

TAMIX_INLINE FV load(const float* p) {
  FV v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TAMIX_INLINE void store(float* p, const FV& v) { std::memcpy(p, &v, sizeof v); }

// x - (+0) is x for every x, and compiles to a broadcast.
TAMIX_INLINE FV splat(float x) { return x - FV{}; }

// a × b + c; fused where the instruction set has it (the error bound holds either way).
TAMIX_INLINE FV mul_add(const FV& a, const FV& b, const FV& c) {
#if TAMIX_KERNEL_BYTES == 64 && defined(__x86_64__)
  return reinterpret_cast<FV>(_mm512_fmadd_ps(
      reinterpret_cast<__m512>(a), reinterpret_cast<__m512>(b), reinterpret_cast<__m512>(c)));
#elif TAMIX_KERNEL_BYTES == 32 && defined(__x86_64__)
  return reinterpret_cast<FV>(_mm256_fmadd_ps(
      reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b), reinterpret_cast<__m256>(c)));
#else
  return a * b + c;
#endif
}

// R rows against T tiles: every tile vector loaded serves R rows from a register.
template <size_t R, size_t T>
TAMIX_INLINE void block(const float* const* rows, const float* tiles, size_t dim, float* out,
                        size_t stride) {
  FV acc[R][T] = {};
  const float* rp[R];
  for (size_t r = 0; r < R; ++r) rp[r] = rows[r];
  for (size_t t = 0; t < dim; ++t) {
    FV c[T];
    for (size_t i = 0; i < T; ++i) c[i] = load(tiles + i * dim * kTile + t * kTile);
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
      const FV x = splat(rp[r][t]);
      for (size_t i = 0; i < T; ++i) acc[r][i] = mul_add(x, c[i], acc[r][i]);
    }
  }
  for (size_t r = 0; r < R; ++r) {
    for (size_t i = 0; i < T; ++i) store(out + r * stride + i * kTile, acc[r][i]);
  }
}

static void tile_dots(const float* const* rows, size_t nrows, const float* tiles, size_t ntiles,
                      size_t dim, float* out, size_t stride) {
  if (nrows == kRows) {
    return ntiles == 2 ? block<kRows, 2>(rows, tiles, dim, out, stride)
                       : block<kRows, 1>(rows, tiles, dim, out, stride);
  }
  for (size_t r = 0; r < nrows; ++r) {
    if (ntiles == 2) {
      block<1, 2>(rows + r, tiles, dim, out + r * stride, stride);
    } else {
      block<1, 1>(rows + r, tiles, dim, out + r * stride, stride);
    }
  }
}

#undef TAMIX_INLINE

}  // namespace TAMIX_KERNEL_NS
