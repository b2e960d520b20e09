#include "storage/flat_batch_search.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>

#include "core/pool.h"
#include "core/top_k.h"
#include "storage/chunk_scan.h"
#include "storage/cosine_score.h"

namespace tamix {
namespace {

constexpr uint64_t kChunk = kSearchChunkSize;
constexpr uint64_t kRowBlock = 32;    // rows kept in cache while every query passes
constexpr uint64_t kMaxHeapK = 1024;  // beyond this, per-query scans are cheaper
constexpr size_t kMaxKeptPerWorker = size_t{1} << 20;  // entries

// One pass over the readable chunks for a group of queries.
std::vector<std::vector<ScoredIndex>> tiled_search(const FlatStorage& store,
                                                   std::span<const VectorView> queries, uint64_t kk,
                                                   uint64_t chunks, const LiveSlots* live) {
  const uint64_t n = store.count();
  const uint64_t dim = store.dimension();
  const size_t nq = queries.size();
  tbb::enumerable_thread_specific<std::vector<TopKeeper>> keepers(
      [&] { return std::vector<TopKeeper>(nq, TopKeeper(kk)); });
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, chunks, 1), [&](const auto& r) {
    std::vector<TopKeeper>& mine = keepers.local();
    for (uint64_t c = r.begin(); c != r.end(); ++c) {
      const uint64_t begin = c * kChunk, end = std::min(n, begin + kChunk);
      const float* base = store.records() + begin * dim;
      for (uint64_t b = begin; b < end; b += kRowBlock) {
        const uint64_t block_end = std::min(end, b + kRowBlock);
        for (size_t q = 0; q < nq; ++q) {
          const VectorView query = queries[q];
          for (uint64_t s = b; s < block_end; ++s) {
            if (live != nullptr && !live->contains(s)) continue;
            float score = 0.0f;
            if (query.size() == dim) {
              const float* row = base + (s - begin) * dim;
              score = cosine_score(query.data(), row, dim);
            }
            mine[q].offer({s, score});
          }
        }
      }
    }
  });

  std::vector<std::vector<ScoredIndex>> out(nq);
  tbb::parallel_for(size_t{0}, nq, [&](size_t q) {
    std::vector<ScoredIndex> merged;
    for (const auto& per_thread : keepers) {
      const auto& e = per_thread[q].entries();
      merged.insert(merged.end(), e.begin(), e.end());
    }
    out[q] = select_top_k(std::move(merged), kk);
  });
  return out;
}

}  // namespace

std::vector<std::vector<ScoredIndex>> flat_search_batch(const FlatStorage& store,
                                                        std::span<const VectorView> queries,
                                                        uint64_t k, const LiveSlots* live) {
  const uint64_t kk = std::min(store.count(), k);
  const size_t nq = queries.size();
  if (kk == 0) return std::vector<std::vector<ScoredIndex>>(nq);
  if (kk > kMaxHeapK || nq < 2) {
    return pool::map<std::vector<ScoredIndex>>(
        nq, [&](size_t q) { return store.search(queries[q], k, live); });
  }
  const uint64_t chunks = store.searchable_chunks();
  // Bounds the keepers' memory: every worker holds kk entries per query of a group.
  const size_t group = std::max<size_t>(1, kMaxKeptPerWorker / kk);
  std::vector<std::vector<ScoredIndex>> out;
  out.reserve(nq);
  for (size_t first = 0; first < nq; first += group) {
    auto part = pool::run([&] {
      return tiled_search(store, queries.subspan(first, std::min(group, nq - first)), kk, chunks,
                          live);
    });
    for (auto& list : part) out.push_back(std::move(list));
  }
  return out;
}

}  // namespace tamix
