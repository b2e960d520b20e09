// Neighbour choice for insertion and pruning. Taking just the nearest links a node to its
// own cluster only, and a graph of well-separated clusters falls apart into islands. So a
// candidate is kept only when no neighbour kept before it lies nearer to it than the base
// does: each kept link then points in a direction no nearer link already covers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw/layer_search.h"
#include "index/hnsw/node_table.h"

namespace tamix::hnsw {

// What an earlier choice already settled about a candidate. Choosing again from a chosen
// list plus newcomers gives the same answer as choosing from scratch, because a choice
// from the same candidates in the same order repeats itself: a kept one can only lose its
// place to a newcomer (or to a dropped one that came back), and a dropped one stays
// covered while the kept one that covered it (nearer to the base, so met before it) stays.
enum class Known : uint8_t {
  kNothing,  // a newcomer: compared with every kept one
  kKept,     // kept last time: compared only with kept ones that were not kept last time
  kDropped,  // dropped last time: covered unless some formerly kept one has lost its place
};

// Keeps up to `limit` of `keys` (pack(distance from the base, i), ascending), never the
// base itself, into s.picked, nearest first; then the nearest dropped ones while fewer
// than `fill_to` are picked. Returns how many were kept. id_of(i) is the NodeId of key i,
// known_of(i) what is known of it. Distances between candidates come from the family's
// source for a stored vector, the one that measured the distances to the base.
template <class Family, class IdOf, class KnownOf>
uint32_t select_diverse(const NodeTable& table, const Family& family,
                        std::span<const uint64_t> keys, NodeId base, uint64_t limit, IdOf id_of,
                        KnownOf known_of, uint64_t fill_to, Scratch& s) {
  s.picked.clear();
  s.dropped.clear();
  s.picked_slots.clear();
  s.picked_new.clear();
  bool lost = false;  // a formerly kept one was dropped
  for (const uint64_t key : keys) {
    if (s.picked.size() >= limit) break;
    const NodeId id = id_of(node_of(key));
    if (id == base) continue;
    const Known known = known_of(node_of(key));
    const Slot slot = table.slot(id);
    bool covered = known == Known::kDropped && !lost;
    if (!covered) {
      const float to_base = distance_of(key);
      const auto from_c = family.source(slot);
      for (size_t r = 0; r < s.picked_slots.size() && !covered; ++r) {
        if (known == Known::kKept && !s.picked_new[r]) continue;
        covered = from_c(s.picked_slots[r]) < to_base;
      }
    }
    if (covered) {
      lost |= known == Known::kKept;
      if (fill_to > 0) s.dropped.push_back(key);
      continue;
    }
    s.picked.push_back(key);
    s.picked_slots.push_back(slot);
    s.picked_new.push_back(known != Known::kKept);
  }
  const uint32_t kept = static_cast<uint32_t>(s.picked.size());
  for (size_t i = 0; i < s.dropped.size() && s.picked.size() < std::min(limit, fill_to); ++i) {
    s.picked.push_back(s.dropped[i]);
  }
  return kept;
}

}  // namespace tamix::hnsw
