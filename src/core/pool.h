// The process-wide worker pool (oneTBB). Its size is set once, on first use, from
// RAYON_NUM_THREADS (unset, 0 or not a number: the number of processors); values above
// max(256, 4 x processors), the most workers oneTBB plans for by itself, count as that cap.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <cstddef>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/result.h"

namespace tamix::pool {

// Applies the size limit; every entry point below that hands work to the pool calls it.
// Returns the pool size.
size_t threads();

// Pool size for a RAYON_NUM_THREADS value (nullptr when unset) on a machine of `cpus`.
size_t threads_from_env(const char* value, size_t cpus);

// The arena of the pool's size. oneTBB's own arenas keep the processor count however high
// the limit, so parallel work runs in this one to get more threads than processors.
tbb::task_arena& arena();

// Runs f() on the pool: the parallel algorithms it calls use all of the pool's threads.
template <class F>
auto run(F&& f) {
  return arena().execute(std::forward<F>(f));
}

// Runs f(first, last) on the pool over disjoint ranges that together cover [0, n). A single
// item runs in place: handing it to the pool would cost more than most items (one query's
// checks, say), and anything parallel inside it still goes to the pool.
template <class F>
void parallel_for(size_t n, F&& f) {
  if (n <= 1) {
    if (n == 1) f(size_t{0}, size_t{1});
    return;
  }
  run([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, 1),
                      [&](const tbb::blocked_range<size_t>& r) { f(r.begin(), r.end()); });
  });
}

// Runs f(i) for every i in [0, n) on the pool; results come back in item order.
template <class T, class F>
std::vector<T> map(size_t n, F&& f) {
  std::vector<T> out(n);
  parallel_for(n, [&](size_t first, size_t last) {
    for (size_t i = first; i != last; ++i) out[i] = f(i);
  });
  return out;
}

// As map, for f returning Result<T>: the first error wins (lowest item among those that
// failed), items not yet started once an error is seen are skipped.
template <class T, class F>
Result<std::vector<T>> try_map(size_t n, F&& f) {
  std::vector<std::optional<T>> slots(n);
  std::atomic<bool> failed{false};
  std::mutex mu;
  size_t error_item = std::numeric_limits<size_t>::max();
  std::optional<Error> error;
  parallel_for(n, [&](size_t first, size_t last) {
    for (size_t i = first; i != last; ++i) {
      if (failed.load(std::memory_order_relaxed)) return;
      Result<T> res = f(i);
      if (res.ok()) {
        slots[i].emplace(std::move(res).value());
        continue;
      }
      failed.store(true, std::memory_order_relaxed);
      std::lock_guard<std::mutex> lock(mu);
      if (i < error_item) {
        error_item = i;
        error.emplace(std::move(res).error());
      }
      return;
    }
  });
  if (error) return std::move(*error);
  std::vector<T> out;
  out.reserve(n);
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

}  // namespace tamix::pool
