// How far a cosine taken from a matrix product may lie from the exact search's score.
//
// The batch search takes cosines as sgemm(unit query, record) * (1 / record norm) and the
// exact search scores 1 - d/2 with SimSIMD's cosine distance d. For queries and records whose
// norms lie in [kMinPlainNorm, kMaxPlainNorm] (nothing underflows or overflows in either
// kernel), the two differ, in cosine units (2 * score - 1), by at most
//   3 * gamma(dim)  one float dot product in the matrix product and three in SimSIMD (the
//                   record . query one, plus two squared norms that enter through square
//                   roots, half each); a dim-term dot product in any summation order, with
//                   or without fused multiply-adds, errs by at most gamma(dim) * |x| * |y|,
//                   gamma(n) = n * u / (1 - n * u), u = 2^-24;
//   2 * 2^-21       SimSIMD's reciprocal square roots after one Newton step (the weakest,
//                   from a 1.5 * 2^-12 estimate, ends below 2.4e-7 each);
//   16 * u          the unit query, the norms and their reciprocals, the products, the score
//                   formula's roundings, the second-order terms and underflow in the range.
#pragma once

#include <cstdint>

namespace tamix {

inline constexpr double kMinPlainNorm = 0x1p-50;
inline constexpr double kMaxPlainNorm = 0x1p50;

inline bool plain_norm(double norm) { return norm >= kMinPlainNorm && norm <= kMaxPlainNorm; }

inline double cosine_error_bound(uint64_t dim) {
  constexpr double u = 0x1p-24;
  const double n_u = static_cast<double>(dim) * u;
  return 3 * n_u / (1 - n_u) + 2 * 0x1p-21 + 16 * u;
}

}  // namespace tamix
