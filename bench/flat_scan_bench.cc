// Exact scan of stored vectors (default 100,000 x 1536) against the memory-bandwidth floor: a
// plain sum over the same mapped bytes, chunked the same way on the same pool.
// Usage: flat_scan_bench [dir [dimension [count]]]   (dir "" or none: one under /tmp, reused)
#include <tbb/global_control.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/pool.h"
#include "storage/flat_storage.h"

namespace {

uint64_t stored_count = 100'000;
uint64_t stored_dim = 1536;
constexpr uint64_t kChunk = 256;
constexpr int kRuns = 15;

std::vector<float> random_vector(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(stored_dim);
  for (auto& x : v) x = u(rng);
  return v;
}

std::unique_ptr<tamix::FlatStorage> build_or_reuse(const std::string& dir) {
  return tamix::bench::build_or_reuse(dir, stored_dim, stored_count, [&](tamix::FlatStorage& store) {
    std::printf("building %llu x %llu vectors in %s\n", (unsigned long long)stored_count,
                (unsigned long long)stored_dim, dir.c_str());
    std::mt19937 rng(42);
    tamix::bench::fill_to(store, stored_count, [&] { return random_vector(rng); });
  });
}

// Sums every 8-byte word of the records, in 256-vector chunks on the pool.
uint64_t floor_pass(const uint64_t* words, uint64_t count) {
  const uint64_t per_vector = stored_dim * sizeof(float) / sizeof(uint64_t);
  const size_t chunks = (count + kChunk - 1) / kChunk;
  auto sums = tamix::pool::map<uint64_t>(chunks, [&](size_t j) {
    const uint64_t begin = j * kChunk * per_vector;
    const uint64_t end = std::min(count, (j + 1) * kChunk) * per_vector;
    uint64_t sum = 0;  // integer adds reassociate freely, so this loop vectorizes
    for (uint64_t i = begin; i < end; ++i) sum += words[i];
    return sum;
  });
  uint64_t total = 0;
  for (uint64_t s : sums) total += s;
  return total;
}

template <class F>
double median_ms(F&& f) {
  std::vector<double> times;
  for (int r = 0; r < kRuns; ++r) {
    const auto t0 = tamix::bench::Clock::now();
    f();
    times.push_back(1e3 * tamix::bench::seconds_since(t0));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void run(const tamix::FlatStorage& store, const std::vector<float>& query, size_t workers) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  const auto* words = reinterpret_cast<const uint64_t*>(store.get_vector(0)->data());
  volatile uint64_t sink = 0;
  volatile size_t hits = 0;
  floor_pass(words, store.count());  // warm the page cache and the pool
  store.search(query, 10);
  const double floor = median_ms([&] { sink = floor_pass(words, store.count()); });
  const double scan = median_ms([&] { hits = store.search(query, 10).size(); });
  const double gb = double(store.count()) * stored_dim * sizeof(float) / 1e9;
  std::printf("%2zu worker(s): scan %8.2f ms  floor %8.2f ms (%5.1f GB/s)  scan/floor %.2f\n",
              workers, scan, floor, gb / (floor / 1e3), scan / floor);
  (void)sink;
  (void)hits;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) stored_dim = std::stoull(argv[2]);
  if (argc > 3) stored_count = std::stoull(argv[3]);
  const std::string name =
      "tamix_flat_bench_" + std::to_string(stored_dim) + "x" + std::to_string(stored_count);
  const std::string dir =
      argc > 1 && *argv[1] != 0 ? argv[1] : (std::filesystem::temp_directory_path() / name).string();
  auto store = build_or_reuse(dir);
  std::mt19937 rng(7);
  const auto query = random_vector(rng);
  std::printf("%llu vectors, dimension %llu, pool of %zu\n", (unsigned long long)store->count(),
              (unsigned long long)stored_dim, tamix::pool::threads());
  run(*store, query, 1);
  run(*store, query, tamix::pool::threads());
  return 0;
}
