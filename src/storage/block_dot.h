// Dot products of a block of rows with a block of rows through OpenBLAS's sgemm. Each call
// runs on the calling thread only: the worker pool is the one place that decides how many
// threads work. Safe to call from many threads at once.
#pragma once

#include <cstddef>

namespace tamix {

// out[i * ldo + j] = a_i . b_j for the rows a_0..a_{m-1} (lda floats apart) and
// b_0..b_{n-1} (ldb floats apart), each `dim` floats long.
void block_dot(const float* a, size_t m, size_t lda, const float* b, size_t n, size_t ldb,
               size_t dim, float* out, size_t ldo);

}  // namespace tamix
