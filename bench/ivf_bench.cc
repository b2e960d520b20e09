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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/pool.h"
#include "index/ivf_index.h"
#include "storage/flat_storage.h"

namespace {

constexpr uint64_t kCount = 100'000;
constexpr uint64_t kSyntheticDim = 768;
constexpr int kCentres = 1000;
constexpr size_t kQueries = 1000;

using Clock = std::chrono::steady_clock;
using Vectors = std::vector<std::vector<float>>;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void add_all(tamix::FlatStorage& store, const Vectors& batch) {
  std::vector<tamix::VectorView> views(batch.begin(), batch.end());
  if (!store.add(views).ok()) std::abort();
}

// Vectors around the centres, drawn from rng.
Vectors around(const std::vector<float>& centres, uint64_t dim, size_t n, std::mt19937& rng) {
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, kCentres - 1);
  Vectors out;
  for (size_t i = 0; i < n; ++i) {
    const float* c = centres.data() + pick(rng) * dim;
    std::vector<float> v(dim);
    for (uint64_t t = 0; t < dim; ++t) v[t] = c[t] + 1.5f * gauss(rng);
    out.push_back(std::move(v));
  }
  return out;
}

void write_floats(const std::string& path, const Vectors& vectors) {
  FILE* f = std::fopen(path.c_str(), "wb");
  for (const auto& v : vectors) std::fwrite(v.data(), sizeof(float), v.size(), f);
  std::fclose(f);
}

void fill_synthetic(tamix::FlatStorage& store, const std::string& dir) {
  const uint64_t dim = store.dimension();
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<float> centres(kCentres * dim);
  for (auto& x : centres) x = gauss(rng);
  while (store.count() < kCount) {
    add_all(store, around(centres, dim, std::min<uint64_t>(1000, kCount - store.count()), rng));
  }
  std::mt19937 query_rng(43);
  write_floats(dir + "/queries.f32", around(centres, dim, kQueries, query_rng));
}

void fill_from(tamix::FlatStorage& store, const std::string& data) {
  FILE* in = std::fopen(data.c_str(), "rb");
  if (in == nullptr) std::abort();
  Vectors batch;
  std::vector<float> v(store.dimension());
  while (std::fread(v.data(), sizeof(float), v.size(), in) == v.size()) {
    batch.push_back(v);
    if (batch.size() == 1000) add_all(store, std::exchange(batch, {}));
  }
  add_all(store, batch);
  std::fclose(in);
}

std::unique_ptr<tamix::FlatStorage> build_or_reuse(const std::string& dir, const std::string& data,
                                                   uint64_t dim) {
  std::filesystem::create_directories(dir);
  auto store = tamix::FlatStorage::open(dir, dim).value();
  if (store->count() > 0) return store;
  std::printf("building the store in %s\n", dir.c_str());
  if (data.empty()) {
    fill_synthetic(*store, dir);
  } else {
    fill_from(*store, data);
  }
  if (!store->flush().ok()) std::abort();
  return store;
}

Vectors read_queries(const std::string& dir, uint64_t dim) {
  Vectors queries;
  FILE* f = std::fopen((dir + "/queries.f32").c_str(), "rb");
  if (f == nullptr) return queries;
  std::vector<float> q(dim);
  while (std::fread(q.data(), sizeof(float), dim, f) == dim) queries.push_back(q);
  std::fclose(f);
  return queries;
}

// Training prints its progress; the benchmark's own lines are what matter here.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), STDOUT_FILENO);
    std::fclose(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

void populate(tamix::IvfIndex& index, const tamix::FlatStorage& store, size_t workers) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  const auto t0 = Clock::now();
  index.build_partitions(store, store.count());
  uint64_t smallest = UINT64_MAX, largest = 0;
  for (uint64_t p = 0; p < index.config().nlist; ++p) {
    smallest = std::min<uint64_t>(smallest, index.members(p).size());
    largest = std::max<uint64_t>(largest, index.members(p).size());
  }
  std::printf("  population %6.2f s on %2zu worker(s); partitions of %llu to %llu\n",
              seconds_since(t0), workers, (unsigned long long)smallest,
              (unsigned long long)largest);
}

void measure(const tamix::IvfIndex& index, const tamix::FlatStorage& store, const Vectors& queries,
             const std::vector<std::set<tamix::Slot>>& truth, size_t workers) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  std::vector<size_t> found(queries.size());
  auto one = [&](size_t i) {
    const auto hits = index.search(queries[i], 10, &store).value();
    size_t n = 0;
    for (const auto& h : hits) n += truth[i].count(h.slot);
    found[i] = n;
  };
  for (size_t i = 0; i < std::min<size_t>(50, queries.size()); ++i) one(i);  // warm up
  const auto t0 = Clock::now();
  if (workers == 1) {
    for (size_t i = 0; i < queries.size(); ++i) one(i);
  } else {
    tamix::pool::parallel_for(queries.size(), [&](size_t a, size_t b) {
      for (size_t i = a; i < b; ++i) one(i);
    });
  }
  const double took = seconds_since(t0);
  size_t total = 0;
  for (size_t n : found) total += n;
  std::printf("  nprobe %2llu  %2zu worker(s): %9.0f qps  recall@10 %.4f\n",
              (unsigned long long)index.config().nprobe, workers, queries.size() / took,
              double(total) / (10.0 * queries.size()));
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
  auto store = build_or_reuse(dir, data, dim);
  const Vectors queries = read_queries(dir, dim);
  std::vector<std::set<tamix::Slot>> truth(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    for (const auto& h : store->search(queries[i], 10)) truth[i].insert(h.slot);
  }
  const size_t all = tamix::pool::threads();
  std::printf("%llu x %llu, %zu queries, nlist %llu, pool of %zu\n",
              (unsigned long long)store->count(), (unsigned long long)dim, queries.size(),
              (unsigned long long)nlist, all);
  for (uint64_t nprobe : {1, 10, 32}) {
    tamix::IvfIndex index(tamix::IvfConfig::configured(nlist, nprobe));
    const auto t0 = Clock::now();
    {
      QuietStdout quiet;
      if (!index.train(store.get()).ok()) std::abort();
    }
    std::printf("nprobe %llu: trained and populated in %.2f s on %zu worker(s)\n",
                (unsigned long long)nprobe, seconds_since(t0), all);
    if (nprobe == 1) {
      populate(index, *store, 1);
      populate(index, *store, all);
    }
    measure(index, *store, queries, truth, 1);
    measure(index, *store, queries, truth, all);
  }
  return 0;
}
