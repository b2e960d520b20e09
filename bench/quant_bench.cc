// The quantized stores against the flat store on 100,000 x 768 clustered vectors (1,000
// Gaussian centres of standard deviation 1, noise of standard deviation 1.5, seed 42):
// SQ8 and PQ search throughput and recall@10 against the exact flat search, PQ codebook
// training time; with one worker and with the whole pool. The vectors and queries are
// also written as raw float32 files (data.f32, queries.f32, train.f32) for comparisons.
// Usage: quant_bench [dir] [pq training sample]   (default: a directory under /tmp)
#include <tbb/global_control.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/pool.h"
#include "storage/flat_storage.h"
#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"

namespace {

namespace bench = tamix::bench;
using bench::Clock;
using bench::ok_or_die;
using bench::seconds_since;
using tamix::ScoredIndex;
using tamix::VectorView;

constexpr size_t kCount = 100'000, kDim = 768, kQueries = 300, kK = 10;
constexpr size_t kSq8Sample = 10'000;

struct Data {
  bench::Vectors vectors, queries;
};

// A 64-bit engine, unlike the other benchmarks: kept, so that data.f32 stays what earlier runs
// wrote. The queries continue the vectors' stream.
Data generate() {
  std::mt19937_64 rng(42);
  const bench::Clusters clusters(kDim, rng);
  Data d;
  d.vectors = clusters.around(kCount, rng);
  d.queries = clusters.around(kQueries, rng);
  return d;
}

std::vector<VectorView> views(const bench::Vectors& vs, size_t n) {
  return {vs.begin(), vs.begin() + n};
}

// Queries per second over every query, one after the other, each a parallel scan.
template <class Search>
double qps(const Data& d, Search&& search) {
  search(d.queries[0]);  // warm the pages and the pool
  const auto t0 = Clock::now();
  for (const auto& q : d.queries) search(q);
  return d.queries.size() / seconds_since(t0);
}

double recall(const std::vector<std::vector<ScoredIndex>>& truth,
              const std::vector<std::vector<ScoredIndex>>& got) {
  size_t found = 0;
  for (size_t i = 0; i < truth.size(); ++i) {
    std::set<tamix::Slot> want;
    for (const auto& s : truth[i]) want.insert(s.slot);
    for (const auto& s : got[i]) found += want.count(s.slot);
  }
  return double(found) / double(truth.size() * kK);
}

template <class Search>
std::vector<std::vector<ScoredIndex>> answers(const Data& d, Search&& search) {
  std::vector<std::vector<ScoredIndex>> out;
  for (const auto& q : d.queries) out.push_back(search(q));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir =
      argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "tamix_quant_bench").string();
  const size_t pq_sample = argc > 2 ? std::stoul(argv[2]) : 10'000;
  std::filesystem::remove_all(dir);
  for (const char* sub : {"flat", "sq8", "pq", "pq1"})
    std::filesystem::create_directories(dir + "/" + sub);
  const size_t workers = tamix::pool::threads();

  auto t0 = Clock::now();
  const Data d = generate();
  bench::write_floats(dir + "/data.f32", d.vectors);
  bench::write_floats(dir + "/queries.f32", d.queries);
  bench::write_floats(dir + "/train.f32", {d.vectors.data(), pq_sample});
  std::printf("%zu x %zu vectors, %zu queries, pool of %zu (generated in %.1f s)\n", kCount, kDim,
              kQueries, workers, seconds_since(t0));

  auto flat = ok_or_die(tamix::FlatStorage::open(dir + "/flat", kDim), "flat");
  (void)ok_or_die(flat->add(views(d.vectors, kCount)), "flat add");
  (void)flat->flush();
  const auto truth = answers(d, [&](VectorView q) { return flat->search(q, kK); });

  t0 = Clock::now();
  auto sq8 = ok_or_die(tamix::Sq8Storage::create(dir + "/sq8", kDim, views(d.vectors, kSq8Sample)),
                       "sq8 create");
  (void)ok_or_die(sq8->add(views(d.vectors, kCount)), "sq8 add");
  (void)sq8->flush();
  std::printf("sq8: trained and filled in %.2f s, recall@10 %.4f\n", seconds_since(t0),
              recall(truth, answers(d, [&](VectorView q) { return sq8->search(q, kK).value(); })));

  t0 = Clock::now();
  auto pq =
      ok_or_die(tamix::PqStorage::create(dir + "/pq", views(d.vectors, pq_sample)), "pq create");
  const double train_s = seconds_since(t0);
  t0 = Clock::now();
  (void)ok_or_die(pq->add(views(d.vectors, kCount)), "pq add");
  (void)pq->flush();
  std::printf("pq: m=%llu, trained on %zu in %.2f s, encoded %zu in %.2f s, recall@10 %.4f\n",
              (unsigned long long)pq->code_size(), pq_sample, train_s, kCount, seconds_since(t0),
              recall(truth, answers(d, [&](VectorView q) { return pq->search(q, kK); })));

  for (size_t w : {size_t{1}, workers}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, w);
    const double flat_qps = qps(d, [&](VectorView q) { return flat->search(q, kK); });
    const double sq8_qps = qps(d, [&](VectorView q) { return sq8->search(q, kK).value(); });
    const double pq_qps = qps(d, [&](VectorView q) { return pq->search(q, kK); });
    std::printf("%zu worker(s): flat %7.1f qps | sq8 %7.1f qps (%.2fx flat) | pq %7.1f qps\n", w,
                flat_qps, sq8_qps, sq8_qps / flat_qps, pq_qps);
  }
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    t0 = Clock::now();
    (void)ok_or_die(tamix::PqStorage::create(dir + "/pq1", views(d.vectors, pq_sample)), "pq");
    std::printf("pq training with 1 worker: %.2f s\n", seconds_since(t0));
  }
  return 0;
}
