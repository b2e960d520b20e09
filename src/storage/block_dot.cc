#include "storage/block_dot.h"

#include <cblas.h>

#include <cassert>
#include <climits>

namespace tamix {
namespace {

// The threaded OpenBLAS starts its own threads when it loads; at one thread per call it
// never hands them work, so only the pool's threads compute.
void use_calling_thread_only() {
  static const bool done = [] {
    openblas_set_num_threads(1);
    return true;
  }();
  (void)done;
}

}  // namespace

void block_dot(const float* a, size_t m, size_t lda, const float* b, size_t n, size_t ldb,
               size_t dim, float* out, size_t ldo) {
  assert(m <= INT_MAX && n <= INT_MAX && dim <= INT_MAX && lda <= INT_MAX && ldb <= INT_MAX &&
         ldo <= INT_MAX);
  use_calling_thread_only();
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(m), static_cast<int>(n),
              static_cast<int>(dim), 1.0f, a, static_cast<int>(lda), b, static_cast<int>(ldb), 0.0f,
              out, static_cast<int>(ldo));
}

}  // namespace tamix
