// The exact top-k scan behind every store's single-query search: slots in chunks of
// kSearchChunkSize on the worker pool, each worker keeping its best k, one selection at the
// end. Only live slots are scored, so a top k is never crowded out by deleted vectors.
#pragma once

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/live_slots.h"
#include "core/pool.h"
#include "core/top_k.h"
#include "core/types.h"

namespace tamix {

inline constexpr uint64_t kSearchChunkSize = 256;

// The chunks a scan may start: with n slots of which `readable` lie in the mapping, only
// chunks whose every slot is readable (a chunk with an unreadable slot yields nothing).
inline uint64_t searchable_chunks(uint64_t n, uint64_t readable) {
  return readable >= n ? (n + kSearchChunkSize - 1) / kSearchChunkSize
                       : readable / kSearchChunkSize;
}

namespace chunk_scan_detail {

// The shared body: visit(begin, end, keeper) offers the chunk's scored live slots.
template <class Visit>
std::vector<ScoredIndex> scan(uint64_t n, uint64_t chunks, uint64_t k, const Visit& visit) {
  if (n == 0 || k == 0 || chunks == 0) return {};
  const uint64_t kk = std::min(n, k);
  const auto visit_chunks = [&](uint64_t first, uint64_t last, TopKeeper& keeper) {
    for (uint64_t c = first; c < last; ++c) {
      const Slot begin = c * kSearchChunkSize;
      visit(begin, std::min(n, begin + kSearchChunkSize), keeper);
    }
  };
  // One worker has nothing to share out: the pool's tasks and per-thread keepers would only
  // add their cost to every query.
  if (pool::threads() == 1) {
    TopKeeper keeper(kk);
    visit_chunks(0, chunks, keeper);
    return select_top_k(keeper.entries(), kk);
  }
  tbb::enumerable_thread_specific<TopKeeper> keepers([kk] { return TopKeeper(kk); });
  pool::parallel_for(chunks, [&](uint64_t first, uint64_t last) {
    visit_chunks(first, last, keepers.local());
  });
  std::vector<ScoredIndex> all;
  for (const TopKeeper& keeper : keepers) {
    all.insert(all.end(), keeper.entries().begin(), keeper.entries().end());
  }
  return select_top_k(std::move(all), kk);
}

}  // namespace chunk_scan_detail

// Top k of score(slot) (larger is better) over the live slots of the first `chunks` chunks
// of [0, n); live == nullptr takes every slot.
template <class Score>
std::vector<ScoredIndex> scan_top_k(uint64_t n, uint64_t chunks, uint64_t k, const LiveSlots* live,
                                    const Score& score) {
  return chunk_scan_detail::scan(n, chunks, k, [&](Slot begin, Slot end, TopKeeper& keeper) {
    if (live == nullptr) {
      for (Slot s = begin; s < end; ++s) keeper.offer({s, score(s)});
    } else {
      live->for_each_in(begin, end, [&](Slot s) { keeper.offer({s, score(s)}); });
    }
  });
}

// The same scan for scores that are cheaper a chunk at a time: score_chunk(begin, end, out)
// writes the score of every slot of [begin, end) to out[0, end - begin); only live slots
// are kept.
template <class ScoreChunk>
std::vector<ScoredIndex> scan_top_k_by_chunk(uint64_t n, uint64_t chunks, uint64_t k,
                                             const LiveSlots* live, const ScoreChunk& score_chunk) {
  return chunk_scan_detail::scan(n, chunks, k, [&](Slot begin, Slot end, TopKeeper& keeper) {
    float scores[kSearchChunkSize];
    score_chunk(begin, end, scores);
    if (live == nullptr) {
      for (Slot s = begin; s < end; ++s) keeper.offer({s, scores[s - begin]});
    } else {
      live->for_each_in(begin, end, [&](Slot s) { keeper.offer({s, scores[s - begin]}); });
    }
  });
}

// The same scan for scores cheaper many slots at a time: score_slots(slots, count, out)
// writes the score of slots[i] to out[i] for a chunk's live slots, ascending.
template <class ScoreSlots>
std::vector<ScoredIndex> scan_top_k_by_slots(uint64_t n, uint64_t chunks, uint64_t k,
                                             const LiveSlots* live, const ScoreSlots& score_slots) {
  return chunk_scan_detail::scan(n, chunks, k, [&](Slot begin, Slot end, TopKeeper& keeper) {
    Slot slots[kSearchChunkSize];
    float scores[kSearchChunkSize];
    size_t m = 0;
    if (live == nullptr) {
      for (Slot s = begin; s < end; ++s) slots[m++] = s;
    } else {
      live->for_each_in(begin, end, [&](Slot s) { slots[m++] = s; });
    }
    if (m == 0) return;
    score_slots(slots, m, scores);
    for (size_t i = 0; i < m; ++i) keeper.offer({slots[i], scores[i]});
  });
}

}  // namespace tamix
