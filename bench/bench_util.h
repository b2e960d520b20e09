// What the C++ benchmarks share: timing, the seeded clustered data, stores built once and
// reused between runs, raw float files and the query loop behind qps and recall@10.
// Header-only, since CMake makes every bench/*.cc a program of its own.
#pragma once

#include <tbb/global_control.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/pool.h"
#include "core/result.h"
#include "storage/flat_storage.h"

namespace tamix::bench {

using Clock = std::chrono::steady_clock;
using Vectors = std::vector<std::vector<float>>;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Processor time so far of the process (CLOCK_PROCESS_CPUTIME_ID) or of the calling thread
// (CLOCK_THREAD_CPUTIME_ID): what a run costs, which other load on a shared machine disturbs
// less than the wall time.
inline double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// A benchmark has nothing to fall back on: a failure ends it, with the reason.
template <class T>
T ok_or_die(Result<T> r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().message().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

constexpr size_t kCentres = 1000;

// Clustered vectors give graph and partition searches real neighbourhoods, unlike uniform
// noise: Gaussian centres of deviation 1, each vector a random centre plus Gaussian noise of
// deviation 1.5 per component. Every draw comes from the caller's engine, in a fixed order:
// the data sets on disk stay comparable between versions only while that order holds.
template <class Rng>
class Clusters {
 public:
  Clusters(uint64_t dim, Rng& rng) : dim_(dim), centres_(kCentres * dim) {
    std::normal_distribution<float> unit(0.0f, 1.0f);
    for (float& x : centres_) x = unit(rng);
  }

  std::vector<float> around(Rng& rng) const {
    std::uniform_int_distribution<size_t> pick(0, kCentres - 1);
    std::normal_distribution<float> noise(0.0f, 1.5f);
    const float* centre = centres_.data() + pick(rng) * dim_;
    std::vector<float> v(dim_);
    for (uint64_t i = 0; i < dim_; ++i) v[i] = centre[i] + noise(rng);
    return v;
  }

  Vectors around(size_t n, Rng& rng) const {
    Vectors out;
    for (size_t i = 0; i < n; ++i) out.push_back(around(rng));
    return out;
  }

 private:
  uint64_t dim_;
  std::vector<float> centres_;  // kCentres rows of dim_
};

inline void add_all(FlatStorage& store, const Vectors& batch) {
  std::vector<VectorView> views(batch.begin(), batch.end());
  if (!store.add(views).ok()) std::abort();
}

// Appends draw()'s vectors in batches of 1000 until the store holds `count`.
template <class Draw>
void fill_to(FlatStorage& store, uint64_t count, Draw&& draw) {
  while (store.count() < count) {
    Vectors batch;
    for (int i = 0; i < 1000 && store.count() + batch.size() < count; ++i) {
      batch.push_back(draw());
    }
    add_all(store, batch);
  }
}

// The synthetic data set: `count` clustered vectors drawn from seed 42 after the centres.
inline void fill_synthetic(FlatStorage& store, uint64_t count) {
  std::mt19937 rng(42);
  const Clusters clusters(store.dimension(), rng);
  fill_to(store, count, [&] { return clusters.around(rng); });
}

// Queries around the synthetic data's centres, from a stream of their own (seed 43), so
// their number never shifts the data.
inline Vectors synthetic_queries(uint64_t dim, size_t count) {
  std::mt19937 rng(42);
  const Clusters clusters(dim, rng);
  std::mt19937 query_rng(43);
  return clusters.around(count, query_rng);
}

// Appends every whole vector of a raw float file, 1000 at a time: the file may not fit in
// memory.
inline void fill_from(FlatStorage& store, const std::string& path) {
  FILE* in = std::fopen(path.c_str(), "rb");
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

// Building a store takes minutes, reopening it seconds: the store in dir is reused when it
// holds at least `wanted` vectors, else emptied (a run stopped halfway leaves a part) and
// filled again by fill(store).
template <class Fill>
std::unique_ptr<FlatStorage> build_or_reuse(const std::string& dir, uint64_t dim, uint64_t wanted,
                                            Fill&& fill) {
  std::filesystem::create_directories(dir);
  auto store = ok_or_die(FlatStorage::open(dir, dim), dir.c_str());
  if (store->count() >= wanted) return store;
  store->forget_from(0);
  fill(*store);
  if (!store->flush().ok()) std::abort();
  return store;
}

// The store in dir as an earlier run left it when it holds any vectors; else built from the
// raw float file `data`, or from `count` synthetic vectors when no file is named.
inline std::unique_ptr<FlatStorage> load_or_build(const std::string& dir, const std::string& data,
                                                  uint64_t dim, uint64_t count, FILE* log) {
  return build_or_reuse(dir, dim, 1, [&](FlatStorage& store) {
    std::fprintf(log, "building the store in %s\n", dir.c_str());
    if (data.empty()) {
      fill_synthetic(store, count);
    } else {
      fill_from(store, data);
    }
  });
}

// Raw float32 back to back: what other libraries' loaders read for side-by-side runs. Goes
// through a temporary name, so a run stopped halfway leaves no short file to be reused.
inline void write_floats(const std::string& path, std::span<const std::vector<float>> vectors) {
  const std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) std::abort();
  for (const auto& v : vectors) std::fwrite(v.data(), sizeof(float), v.size(), f);
  const bool written = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
  if (std::fclose(f) != 0 || !written) std::abort();
  std::filesystem::rename(temporary, path);
}

// The whole vectors of a raw float file; none when it is missing.
inline Vectors read_floats(const std::string& path, uint64_t dim) {
  Vectors out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::vector<float> v(dim);
  while (std::fread(v.data(), sizeof(float), dim, f) == dim) out.push_back(v);
  std::fclose(f);
  return out;
}

// dir/queries.f32 with `count` synthetic queries, unless the directory has its queries already.
inline void write_synthetic_queries_once(const std::string& dir, uint64_t dim, size_t count) {
  const std::string path = dir + "/queries.f32";
  if (std::filesystem::exists(path)) return;
  std::filesystem::create_directories(dir);
  write_floats(path, synthetic_queries(dim, count));
}

// Silences standard output while it lives: training prints progress lines that would bury
// the benchmark's own.
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
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

// The exact search's top 10 of each query: what recall@10 is measured against.
inline std::vector<std::set<Slot>> exact_top10(const FlatStorage& store, const Vectors& queries) {
  std::vector<std::set<Slot>> truth(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    for (const auto& h : store.search(queries[i], 10)) truth[i].insert(h.slot);
  }
  return truth;
}

struct Measured {
  double qps;
  double recall;  // at 10, against the exact top 10
};

// search(query) for every query, one query per call, on `workers` workers (the pool splits
// the queries when there are several). The first 50 warm the pages and the pool; of `runs`
// timed passes the best counts, since the machine may be shared.
template <class Search>
Measured measure(const Vectors& queries, const std::vector<std::set<Slot>>& truth, size_t workers,
                 int runs, Search&& search) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  std::vector<size_t> found(queries.size());
  auto one = [&](size_t i) {
    size_t n = 0;
    for (const auto& h : search(VectorView(queries[i]))) n += truth[i].count(h.slot);
    found[i] = n;
  };
  for (size_t i = 0; i < std::min<size_t>(50, queries.size()); ++i) one(i);
  double took = 0;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = Clock::now();
    if (workers == 1) {
      for (size_t i = 0; i < queries.size(); ++i) one(i);
    } else {
      pool::parallel_for(queries.size(), [&](size_t a, size_t b) {
        for (size_t i = a; i < b; ++i) one(i);
      });
    }
    const double t = seconds_since(t0);
    took = run == 0 ? t : std::min(took, t);
  }
  size_t total = 0;
  for (size_t n : found) total += n;
  return {queries.size() / took, double(total) / (10.0 * queries.size())};
}

}  // namespace tamix::bench
