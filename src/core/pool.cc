#include "core/pool.h"

#include <tbb/global_control.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace tamix::pool {

size_t threads_from_env(const char* value, size_t cpus) {
  if (cpus == 0) cpus = 1;
  if (value == nullptr || *value == '\0') return cpus;
  char* end = nullptr;
  unsigned long long n = std::strtoull(value, &end, 10);
  if (*end != '\0' || value[0] == '-' || n == 0) return cpus;
  return static_cast<size_t>(n);
}

size_t threads() {
  static const size_t size = [] {
    size_t n =
        threads_from_env(std::getenv("RAYON_NUM_THREADS"), std::thread::hardware_concurrency());
    // Lives for the process: the limit holds only while the control object exists.
    static tbb::global_control limit(tbb::global_control::max_allowed_parallelism, n);
    return n;
  }();
  return size;
}

}  // namespace tamix::pool
