// HNSW graph over 100,000 x 768 clustered vectors (1,000 Gaussian centres of deviation 1,
// noise deviation 1.5 per component, seed 42): build time, then recall@10 against the exact
// search and single-query throughput (best of three runs) at ef 20, 50 and 100, on one
// worker and on all. The queries (1,000, seed 43) are written to queries.f32 beside the
// vectors, for comparisons.
// Usage: hnsw_bench [--serial-build] [dir]
//   dir: reused between runs (default under /tmp). A dir that already holds vectors.bin and
//   queries.f32 of another dimension (e.g. images) is benchmarked as it is.
#include <tbb/global_control.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/pool.h"
#include "index/distance_sources.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/flat_storage.h"

namespace {

namespace bench = tamix::bench;

constexpr uint64_t kCount = 100'000;
constexpr uint64_t kDim = 768;
constexpr size_t kQueries = 1000;

// The dimension recorded in an existing vectors.bin (bytes 6-7), or 0.
uint64_t stored_dimension(const std::string& dir) {
  FILE* f = std::fopen((dir + "/vectors.bin").c_str(), "rb");
  if (f == nullptr) return 0;
  uint8_t header[8] = {};
  const size_t got = std::fread(header, 1, sizeof header, f);
  std::fclose(f);
  return got == sizeof header ? uint64_t{header[6]} | uint64_t{header[7]} << 8 : 0;
}

// The synthetic data set and its queries, each written once per directory.
std::unique_ptr<tamix::FlatStorage> synthetic(const std::string& dir) {
  bench::write_synthetic_queries_once(dir, kDim, kQueries);
  return bench::build_or_reuse(dir, kDim, kCount, [&](tamix::FlatStorage& store) {
    std::printf("writing %llu x %llu vectors to %s\n", (unsigned long long)kCount,
                (unsigned long long)kDim, dir.c_str());
    bench::fill_synthetic(store, kCount);
  });
}

// A copy of the graph whose queries search layer 0 with breadth ef.
std::unique_ptr<tamix::HnswIndex> with_ef(const tamix::HnswIndex& index, uint64_t ef) {
  std::vector<uint8_t> image = index.serialize();
  const size_t at = image.size() - 1 - 4 - 8;  // ef_search precedes ml and the flag
  for (int i = 0; i < 8; ++i) image[at + i] = static_cast<uint8_t>(ef >> (8 * i));
  return tamix::HnswIndex::deserialize(image).value();
}

void measure(const tamix::HnswIndex& index, const tamix::FlatVectors& flat,
             const bench::Vectors& queries, const std::vector<std::set<tamix::Slot>>& truth,
             size_t workers) {
  const bench::Measured m = bench::measure(queries, truth, workers, 3, [&](tamix::VectorView q) {
    return index.search(tamix::HalvedCosineOfQuery(flat, q), 10);
  });
  std::printf("  ef %3llu  %2zu worker(s): %9.0f qps  recall@10 %.4f\n",
              (unsigned long long)index.config().ef_search, workers, m.qps, m.recall);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "tamix_hnsw_bench").string();
  bool serial_build = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--serial-build") == 0) {
      serial_build = true;
    } else {
      dir = argv[i];
    }
  }
  uint64_t dim = stored_dimension(dir);
  std::unique_ptr<tamix::FlatStorage> store;
  if (dim == 0 || dim == kDim) {
    store = synthetic(dir);
    dim = kDim;
  } else {
    store = tamix::FlatStorage::open(dir, dim).value();
  }
  const uint64_t n = store->count();
  const tamix::FlatVectors flat = tamix::FlatVectors::of(*store);
  std::vector<tamix::Slot> slots(n);
  for (tamix::Slot s = 0; s < n; ++s) slots[s] = s;

  const size_t workers = serial_build ? 1 : tamix::pool::threads();
  tamix::HnswIndex index(tamix::HnswConfig::from_m(16, 200, 50));
  const auto t0 = bench::Clock::now();
  const double cpu0 = bench::cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
    index.insert_many(slots, tamix::ExactCosineFamily{flat});
  }
  std::printf(
      "%llu x %llu, m 16, ef_construction 200: build %.2f s (%.1f s cpu) on %zu worker(s)\n",
      (unsigned long long)n, (unsigned long long)dim, bench::seconds_since(t0),
      bench::cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, workers);

  const bench::Vectors queries = bench::read_floats(dir + "/queries.f32", dim);
  const auto truth = bench::exact_top10(*store, queries);
  for (uint64_t ef : {20, 50, 100}) {
    auto tuned = with_ef(index, ef);
    measure(*tuned, flat, queries, truth, 1);
    measure(*tuned, flat, queries, truth, tamix::pool::threads());
  }
  return 0;
}
