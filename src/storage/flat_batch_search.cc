#include "storage/flat_batch_search.h"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/norm.h"
#include "core/pool.h"
#include "core/top_k.h"
#include "storage/block_dot.h"
#include "storage/candidate_list.h"
#include "storage/chunk_scan.h"
#include "storage/cosine_bound.h"
#include "storage/cosine_score.h"
#include "storage/scratch_matrix.h"

namespace tamix {
namespace {

// Measured on Fashion-MNIST and 100,000 x 768 vectors (bench/batch_bench.py).
constexpr size_t kMaxQueryBlock = 1024;   // queries of one matrix product, at most
constexpr size_t kMaxRecordBlock = 2048;  // records of one matrix product, at most
constexpr size_t kMinRecordBlock = 256;   // ... and at least
// Queries and records of one product over a cached store, at most: its products stay in the
// second-level cache until scanned.
constexpr size_t kMaxCachedBlock = 512;
constexpr size_t kTilesPerWorker = 4;     // so that fast workers take over slow ones' tiles
constexpr size_t kMinQueryBlock = 32;    // queries of one product over a cached store, at least
constexpr uint64_t kCachedStoreBytes = uint64_t{4} << 20;  // a store packed once per query block
constexpr size_t kMinQueries = 3;         // fewer: one chunked scan per query is faster
constexpr uint64_t kMaxKShare = 2;        // k above readable / this: the same
constexpr size_t kMaxKeptPerWorker = size_t{1} << 20;  // candidate entries per worker

using Lists = std::vector<std::vector<ScoredIndex>>;

// What every query of a batch shares: the readable slots and their inverse norms.
struct Records {
  const float* base;
  uint64_t dim;
  uint64_t count;  // slots the single search may score
  const LiveSlots* live;
  // Per slot: 1 / norm; 0 for a zero vector, whose exact score against any query the matrix
  // product gets right (0.5); NaN for norms outside the plain range.
  std::vector<float> inverse_norms;
  // Live slots with a NaN inverse norm: scored exactly for every query.
  std::vector<Slot> irregular;
};

// The slots the single search may score: those of its readable chunks.
uint64_t scored_slots(const FlatStorage& store) {
  return std::min(store.count(), store.searchable_chunks() * kSearchChunkSize);
}

Records records_of(const FlatStorage& store, const LiveSlots* live) {
  Records r{store.records(), store.dimension(), scored_slots(store), live, {}, {}};
  r.inverse_norms.resize(static_cast<size_t>(r.count));
  for (Slot s = 0; s < r.count; ++s) {
    const double norm = store.norm(s);
    if (norm == 0) {
      r.inverse_norms[s] = 0;
    } else if (plain_norm(norm)) {
      r.inverse_norms[s] = static_cast<float>(1 / norm);
    } else {
      r.inverse_norms[s] = std::numeric_limits<float>::quiet_NaN();
      if (live == nullptr || live->contains(s)) r.irregular.push_back(s);
    }
  }
  return r;
}

constexpr size_t kFilterBlock = 16;
constexpr float kNone = -std::numeric_limits<float>::infinity();

using F4 = float __attribute__((vector_size(16)));
using I4 = int __attribute__((vector_size(16)));

// Bit i set when dots[i] * inv[i] >= floor, for i in [0, kFilterBlock). The test almost
// every (query, record) pair fails, in four-wide SIMD (GCC and Clang vector types), so a
// block's bits are gathered only once one passes; the products round as the scalar ones do.
uint32_t reaching_mask(const float* dots, const float* inv, float floor) {
  const F4 f = {floor, floor, floor, floor};
  I4 hits[kFilterBlock / 4];
  I4 any = {0, 0, 0, 0};
  for (size_t v = 0; v < kFilterBlock / 4; ++v) {
    F4 d, w;
    std::memcpy(&d, dots + 4 * v, sizeof d);
    std::memcpy(&w, inv + 4 * v, sizeof w);
    hits[v] = d * w >= f;
    any |= hits[v];
  }
  if ((any[0] | any[1] | any[2] | any[3]) == 0) return 0;
  uint32_t mask = 0;
  for (size_t v = 0; v < kFilterBlock / 4; ++v) {
    const I4& h = hits[v];
    mask |= static_cast<uint32_t>((h[0] & 1) | (h[1] & 2) | (h[2] & 4) | (h[3] & 8)) << (4 * v);
  }
  return mask;
}

// A list's first row sets its floor from the row's own k-th best at once: raised prune by
// prune instead, from the first 2k entries up, it lets in several times k entries.
void seed_floor(const float* dots, const Records& r, Slot first, size_t n, CandidateList& list,
                std::vector<float>& approxes) {
  const float* inv = r.inverse_norms.data() + first;
  approxes.resize(n);
  float* a = approxes.data();
  for (size_t i = 0; i < n; ++i) {
    const float approx = dots[i] * inv[i];
    a[i] = approx == approx ? approx : kNone;  // NaN: a record scored apart (irregular norm)
  }
  if (r.live != nullptr) {
    for (size_t i = 0; i < n; ++i) {
      if (!r.live->contains(first + i)) a[i] = kNone;
    }
  }
  list.raise_floor(approxes);
}

// Offers the records of one row of dot products whose approximate cosine reaches the floor.
void scan_row(const float* dots, const Records& r, Slot first, size_t n, CandidateList& list,
              std::vector<float>& approxes) {
  if (list.floor() == kNone) seed_floor(dots, r, first, n, list, approxes);
  const float* inv = r.inverse_norms.data() + first;
  const auto offer = [&](size_t i) {
    const float approx = dots[i] * inv[i];
    if (approx >= list.floor() && (r.live == nullptr || r.live->contains(first + i))) {
      list.add(first + i, approx);
    }
  };
  size_t b = 0;
  for (; b + kFilterBlock <= n; b += kFilterBlock) {
    for (uint32_t mask = reaching_mask(dots + b, inv + b, list.floor()); mask != 0;
         mask &= mask - 1) {
      offer(b + static_cast<size_t>(std::countr_zero(mask)));
    }
  }
  for (; b < n; ++b) offer(b);
}

// How a group's queries and the records split into matrix products (tiles), and the tiles
// into work items. A store that stays in cache is read once per block of queries at little
// cost: its items are whole blocks of queries, so each query has one candidate list. A
// larger store is read once per group, its record blocks spread over the workers.
struct Tiling {
  Tiling(size_t queries, uint64_t records, uint64_t dim) {
    // One worker needs no share of others' work: a product repacks its records, so fewer.
    const size_t wanted = pool::threads() == 1 ? 1 : pool::threads() * kTilesPerWorker;
    const bool cached = records * dim * sizeof(float) <= kCachedStoreBytes;
    const size_t max_rows = cached ? kMaxCachedBlock : kMaxQueryBlock;
    size_t query_blocks = (queries + max_rows - 1) / max_rows;
    if (cached) {
      query_blocks = std::max(query_blocks, std::min(wanted, queries / kMinQueryBlock));
    }
    rows = (queries + query_blocks - 1) / query_blocks;
    row_blocks = (queries + rows - 1) / rows;
    // Enough tiles for every worker to take several, each still a large product.
    const size_t record_blocks = cached ? 1 : std::max<size_t>(1, wanted / row_blocks);
    const uint64_t per_block = (records + record_blocks - 1) / record_blocks;
    cols = static_cast<size_t>(
        std::clamp<uint64_t>((per_block + 15) / 16 * 16, kMinRecordBlock,
                             cached ? kMaxCachedBlock : kMaxRecordBlock));
    const size_t col_blocks = static_cast<size_t>((records + cols - 1) / cols);
    cols_per_item = cached ? col_blocks : 1;
    items = row_blocks * (cached ? 1 : col_blocks);
  }
  size_t rows;           // queries per tile, at most
  size_t cols;           // records per tile, at most
  size_t row_blocks;     // tiles per record block
  size_t cols_per_item;  // record blocks of one work item, run one after another
  size_t items;
};

// Each worker's candidates for every query of a group, and its block of dot products.
struct Worker {
  Worker(size_t queries, uint64_t kk, double margin, const Tiling& tiling)
      : lists(queries, CandidateList(kk, margin)), dots(tiling.rows * tiling.cols) {
    approxes.reserve(tiling.cols);
  }
  std::vector<CandidateList> lists;
  ScratchMatrix dots;
  std::vector<float> approxes;
};

// The exact top kk of one query from its candidates: scored again as the single search
// scores, selected by the same order.
std::vector<ScoredIndex> rescore(const FlatStorage& store, VectorView query,
                                 const std::vector<Candidate>& candidates, const Records& r,
                                 uint64_t kk) {
  std::vector<Slot> slots;
  slots.reserve(candidates.size() + r.irregular.size());
  for (const Candidate& c : candidates) slots.push_back(c.slot);
  slots.insert(slots.end(), r.irregular.begin(), r.irregular.end());
  // One worker's list is in slot order already.
  if (!std::is_sorted(slots.begin(), slots.end())) std::sort(slots.begin(), slots.end());
  std::vector<float> scores(slots.size());
  store.cosine_scores(query, slots.data(), slots.size(), scores.data());
  std::vector<ScoredIndex> scored(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) scored[i] = {slots[i], scores[i]};
  return select_top_k(std::move(scored), kk);
}

// The queries [first, first + count) of `units` (unit-length copies of queries[index[i]]).
void search_group(const FlatStorage& store, const Records& r, const ScratchMatrix& units,
                  std::span<const VectorView> queries,
                  const std::vector<size_t>& index, size_t first, size_t count, uint64_t kk,
                  Lists& out) {
  const double margin = 2 * cosine_error_bound(r.dim);
  const size_t d = static_cast<size_t>(r.dim);
  const Tiling tiling(count, r.count, r.dim);
  tbb::enumerable_thread_specific<Worker> workers(
      [&] { return Worker(count, kk, margin, tiling); });
  // Items run record block by record block, so neighbouring items share stored vectors.
  pool::parallel_for(tiling.items, [&](size_t t0, size_t t1) {
    Worker& w = workers.local();
    for (size_t t = t0; t < t1; ++t) {
      const size_t q0 = (t % tiling.row_blocks) * tiling.rows;
      const size_t q1 = std::min(count, q0 + tiling.rows);
      const uint64_t begin = (t / tiling.row_blocks) * tiling.cols_per_item * tiling.cols;
      const uint64_t end = std::min(r.count, begin + tiling.cols_per_item * tiling.cols);
      for (Slot s0 = begin; s0 < end; s0 += tiling.cols) {
        const size_t cols = static_cast<size_t>(std::min<uint64_t>(end - s0, tiling.cols));
        block_dot(units.data() + (first + q0) * d, q1 - q0, d, r.base + s0 * d, cols, d, d,
                  w.dots.data(), cols);
        for (size_t q = q0; q < q1; ++q) {
          scan_row(w.dots.data() + (q - q0) * cols, r, s0, cols, w.lists[q], w.approxes);
        }
      }
    }
  });
  pool::parallel_for(count, [&](size_t q0, size_t q1) {
    for (size_t q = q0; q < q1; ++q) {
      // Over a cached store one worker saw all of a query's records: its list is the whole.
      CandidateList* whole = nullptr;
      size_t holding = 0;
      for (Worker& w : workers) {
        if (!w.lists[q].empty()) whole = &w.lists[q], ++holding;
      }
      CandidateList all(kk, margin);
      if (holding != 1) {
        for (const Worker& w : workers) all.absorb(w.lists[q]);
        whole = &all;
      }
      const size_t i = index[first + q];
      out[i] = rescore(store, queries[i], whole->finish(), r, kk);
    }
  });
}

// The queries the matrix products can answer: the right length and a plain norm.
bool plain_query(VectorView q, uint64_t dim) {
  return q.size() == dim && plain_norm(std::sqrt(squared_norm(q)));
}

}  // namespace

std::vector<std::vector<ScoredIndex>> flat_search_batch(const FlatStorage& store,
                                                        std::span<const VectorView> queries,
                                                        uint64_t k, const LiveSlots* live) {
  const size_t nq = queries.size();
  const uint64_t kk = std::min(store.count(), k);
  if (kk == 0) return Lists(nq);
  if (nq < kMinQueries || kk > scored_slots(store) / kMaxKShare) {
    return pool::map<std::vector<ScoredIndex>>(
        nq, [&](size_t q) { return store.search(queries[q], k, live); });
  }
  const Records r = records_of(store, live);
  Lists out(nq);
  std::vector<size_t> index, others;
  for (size_t q = 0; q < nq; ++q) {
    (plain_query(queries[q], r.dim) ? index : others).push_back(q);
  }
  for (size_t q : others) out[q] = store.search(queries[q], k, live);

  const size_t d = static_cast<size_t>(r.dim);
  ScratchMatrix units(index.size() * d);
  pool::parallel_for(index.size(), [&](size_t i0, size_t i1) {
    for (size_t i = i0; i < i1; ++i) {
      const VectorView q = queries[index[i]];
      const double inverse = 1 / std::sqrt(squared_norm(q));
      for (size_t j = 0; j < d; ++j) units.data()[i * d + j] = static_cast<float>(q[j] * inverse);
    }
  });
  // Bounds the candidate lists' memory: every worker holds up to about 2 kk per query.
  const size_t group = std::max<size_t>(1, kMaxKeptPerWorker / (2 * kk + 64));
  for (size_t first = 0; first < index.size(); first += group) {
    search_group(store, r, units, queries, index, first, std::min(group, index.size() - first), kk,
                 out);
  }
  return out;
}

}  // namespace tamix
