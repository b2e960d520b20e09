// IVF index over 100,000 x 768 clustered vectors (1,000 Gaussian centres of deviation 1, noise
// deviation 1.5 per component, seed 42), or over the vectors of a raw float file: population
// time of the partitions, then recall@10 against the exact search and single-query
// throughput at nprobe 1, 10 and 32, on one worker and on all. Each nprobe gets its own index
// trained as configure_ivf would (nlist, 10 iterations) on the first 10,000 vectors.
// Queries: dir/queries.f32 (written for the synthetic data: 1,000 more, seed 43).
// Usage: ivf_bench [--nlist n] [dir [data.f32 dimension]]
//   dir: reused between runs (default under /tmp); data.f32: `dimension` floats per vector,
//   loaded when the store in dir is empty. Its vectors.bin holds the data after a 24-byte
//   header and queries.f32 the queries, for a side-by-side run of another library.
#include <tbb/global_control.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/pool.h"
#include "index/ivf/ivf_index.h"
#include "storage/flat_storage.h"

namespace {

namespace bench = tamix::bench;

constexpr uint64_t kCount = 100'000;
constexpr uint64_t kSyntheticDim = 768;
constexpr size_t kQueries = 1000;

void populate(tamix::IvfIndex& index, const tamix::FlatStorage& store, size_t workers) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  const auto t0 = bench::Clock::now();
  index.build_partitions(store, store.count());
  uint64_t smallest = UINT64_MAX, largest = 0;
  for (uint64_t p = 0; p < index.config().nlist; ++p) {
    smallest = std::min<uint64_t>(smallest, index.members(p).size());
    largest = std::max<uint64_t>(largest, index.members(p).size());
  }
  std::printf("  population %6.2f s on %2zu worker(s); partitions of %llu to %llu\n",
              bench::seconds_since(t0), workers, (unsigned long long)smallest,
              (unsigned long long)largest);
}

void measure(const tamix::IvfIndex& index, const tamix::FlatStorage& store,
             const bench::Vectors& queries, const std::vector<std::set<tamix::Slot>>& truth,
             size_t workers) {
  const bench::Measured m = bench::measure(queries, truth, workers, 1, [&](tamix::VectorView q) {
    return index.search(q, 10, &store).value();
  });
  std::printf("  nprobe %2llu  %2zu worker(s): %9.0f qps  recall@10 %.4f\n",
              (unsigned long long)index.config().nprobe, workers, m.qps, m.recall);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t nlist = 100;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--nlist") == 0 && i + 1 < argc) {
      nlist = std::stoull(argv[++i]);
    } else {
      args.push_back(argv[i]);
    }
  }
  const std::string dir =
      !args.empty() ? args[0]
                    : (std::filesystem::temp_directory_path() / "tamix_ivf2_bench").string();
  const std::string data = args.size() > 2 ? args[1] : "";
  const uint64_t dim = args.size() > 2 ? std::stoull(args[2]) : kSyntheticDim;
  auto store = bench::load_or_build(dir, data, dim, kCount, stdout);
  if (data.empty()) bench::write_synthetic_queries_once(dir, dim, kQueries);
  const bench::Vectors queries = bench::read_floats(dir + "/queries.f32", dim);
  const auto truth = bench::exact_top10(*store, queries);
  const size_t all = tamix::pool::threads();
  std::printf("%llu x %llu, %zu queries, nlist %llu, pool of %zu\n",
              (unsigned long long)store->count(), (unsigned long long)dim, queries.size(),
              (unsigned long long)nlist, all);
  for (uint64_t nprobe : {1, 10, 32}) {
    tamix::IvfIndex index(tamix::IvfConfig::configured(nlist, nprobe));
    const auto t0 = bench::Clock::now();
    {
      bench::QuietStdout quiet;
      if (!index.train(store.get()).ok()) std::abort();
    }
    std::printf("nprobe %llu: trained and populated in %.2f s on %zu worker(s)\n",
                (unsigned long long)nprobe, bench::seconds_since(t0), all);
    if (nprobe == 1) {
      populate(index, *store, 1);
      populate(index, *store, all);
    }
    measure(index, *store, queries, truth, 1);
    measure(index, *store, queries, truth, all);
  }
  return 0;
}
