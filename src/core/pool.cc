#include "core/pool.h"

#include <tbb/global_control.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

namespace tamix::pool {
namespace {

// oneTBB plans for this many workers by itself; a higher limit makes it set aside room for
// every allowed thread up front (10^8 took 13 GB).
size_t cap(size_t cpus) { return std::max<size_t>(256, 4 * cpus); }

struct Pool {
  explicit Pool(size_t n)
      : size(n),
        limit(tbb::global_control::max_allowed_parallelism, n),
        arena(static_cast<int>(n)) {}
  size_t size;
  tbb::global_control limit;  // also bounds oneTBB work started outside the arena
  tbb::task_arena arena;
};

Pool& the_pool() {
  // Never destroyed: daemon threads may still be working in it while the process exits.
  static Pool* pool = new Pool(
      threads_from_env(std::getenv("RAYON_NUM_THREADS"), std::thread::hardware_concurrency()));
  return *pool;
}

}  // namespace

size_t threads_from_env(const char* value, size_t cpus) {
  if (cpus == 0) cpus = 1;
  if (value == nullptr || *value == '\0') return cpus;
  char* end = nullptr;
  unsigned long long n = std::strtoull(value, &end, 10);
  if (*end != '\0' || value[0] == '-' || n == 0) return cpus;
  return static_cast<size_t>(std::min<unsigned long long>(n, cap(cpus)));
}

size_t threads() { return the_pool().size; }

tbb::task_arena& arena() { return the_pool().arena; }

}  // namespace tamix::pool
