// The best-first search of one graph layer over a NodeTable, and the per-thread scratch it
// reuses between searches (visited marks, heaps, buffers), so a search allocates nothing
// once a thread has warmed up.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/live_slots.h"
#include "index/hnsw/hnsw_level.h"
#include "index/hnsw/node_table.h"

namespace tamix::hnsw {

// A heap entry: the distance's bits in a total order (NaN last) above the node id, so one
// integer comparison orders by distance, then by id.
inline uint64_t pack(float d, NodeId id) {
  const uint32_t bits = std::bit_cast<uint32_t>(d);
  uint32_t key = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
  if (std::isnan(d)) key = 0xFFFFFFFFu;
  return uint64_t{key} << 32 | id;
}

inline float distance_of(uint64_t entry) {
  const uint32_t key = static_cast<uint32_t>(entry >> 32);
  return std::bit_cast<float>((key & 0x80000000u) != 0 ? key & 0x7FFFFFFFu : ~key);
}

inline NodeId node_of(uint64_t entry) { return static_cast<NodeId>(entry); }

struct Scratch {
  // marks[id] == epoch: visited in the current search. Two bytes a node keep more of them
  // in cache; the marks are cleared once every 65,535 searches.
  std::vector<uint16_t> marks;
  uint16_t epoch = 0;
  std::vector<uint64_t> candidates;  // min-heap
  std::vector<uint64_t> results;     // W, ascending
  std::vector<NodeId> links, fresh;  // one list as read, and its unvisited ids
  std::vector<Slot> fresh_slots;     // their slots and distances
  std::vector<float> fresh_distances;
  // Insertion: the new node's neighbours per layer with their distances, and one list
  // being changed.
  struct Chosen {
    std::vector<NodeId> ids;
    std::vector<float> distances;
    uint32_t kept = 0;
  };
  std::array<Chosen, kMaxLevel + 1> chosen;
  std::vector<NodeId> edit, kept;
  std::vector<float> edit_distances;
  std::vector<uint64_t> keys;
  // Neighbour choice: the chosen keys, the dropped ones, and the kept ones' slots and
  // whether each was kept by the previous choice.
  std::vector<uint64_t> picked, dropped;
  std::vector<Slot> picked_slots;
  std::vector<uint8_t> picked_new;

  void start(NodeId nodes);
  bool first_visit(NodeId id) {
    if (id >= marks.size()) marks.resize(std::max<size_t>(id + 1, marks.size() * 2), 0);
    if (marks[id] == epoch) return false;
    marks[id] = epoch;
    return true;
  }
  // first_visit for each of ids[0, n), in order; the ids seen first go to out. Returns how
  // many. The marks' place and size stay in registers (through the members, every mark
  // written made the compiler load them again), and whether an id was seen picks no
  // branch: it is either way about as often, so a branch was mispredicted on most ids.
  uint32_t first_visits(const NodeId* ids, uint32_t n, NodeId* out) {
    uint16_t* m = marks.data();
    size_t size = marks.size();
    const uint16_t e = epoch;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const NodeId id = ids[i];
      if (id >= size) {  // a node added since the search started
        if (first_visit(id)) out[kept++] = id;
        m = marks.data();
        size = marks.size();
        continue;
      }
      const bool seen = m[id] == e;
      m[id] = e;
      out[kept] = id;
      kept += seen ? 0 : 1;
    }
    return kept;
  }
};

// This thread's scratch. A search and an insertion on one thread take turns with it.
Scratch& thread_scratch();

inline void push_min(std::vector<uint64_t>& heap, uint64_t e) {
  heap.push_back(e);
  std::push_heap(heap.begin(), heap.end(), std::greater<uint64_t>());
}
inline uint64_t pop_min(std::vector<uint64_t>& heap) {
  std::pop_heap(heap.begin(), heap.end(), std::greater<uint64_t>());
  const uint64_t e = heap.back();
  heap.pop_back();
  return e;
}
// Puts e in its place in the ascending w, dropping the largest entry past `width`. The place
// is found without branches and the tail moved: a max-heap's sifting took as many steps,
// each a branch mispredicted about half the time.
inline void insert_bounded(std::vector<uint64_t>& w, uint64_t e, uint64_t width) {
  size_t at = 0;
  if (!w.empty()) {
    const uint64_t* base = w.data();
    for (size_t n = w.size(); n > 1;) {
      const size_t half = n / 2;
      base = base[half] < e ? base + half : base;
      n -= half;
    }
    at = static_cast<size_t>(base - w.data()) + (*base < e ? 1 : 0);
  }
  if (w.size() < width) {
    w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), e);
  } else if (at < w.size()) {
    std::move_backward(w.begin() + static_cast<std::ptrdiff_t>(at), w.end() - 1, w.end());
    w[at] = e;
  }
}

// Best-first search of `layer` from `entry` with breadth max(ef, 1). Leaves W in
// s.results, ascending. Admission and stop use the distances' own comparisons; the
// candidates' heap and W use the total order of pack().
//
// With a filter W takes live nodes only, so a dead node never holds a place a live one
// could have had; dead nodes still become candidates and lead on. The stop test waits
// until W is full, else a region of dead nodes would end the search short of live ones
// beyond it. Each node is still expanded at most once, so a mostly dead graph costs visits,
// never a loop.
template <bool kFilter, class Source>
void search_layer_ids(const NodeTable& table, NodeId entry, uint64_t ef, uint64_t layer,
                      const Source& source, Scratch& s, const LiveSlots* live = nullptr) {
  const uint64_t width = std::max<uint64_t>(ef, 1);
  const uint32_t capacity = table.capacity(layer);
  s.start(table.size());
  if (s.links.size() < capacity) s.links.resize(capacity);
  if (s.fresh.size() < capacity) {
    s.fresh.resize(capacity);
    s.fresh_slots.resize(capacity);
    s.fresh_distances.resize(capacity);
  }

  auto consider = [&](NodeId id, Slot slot, float d, bool first) {
    if (!first && s.results.size() >= width && !(d < distance_of(s.results.back()))) return;
    push_min(s.candidates, pack(d, id));
    if constexpr (kFilter) {
      if (!live->contains(slot)) return;
    }
    insert_bounded(s.results, pack(d, id), width);
  };
  s.first_visit(entry);
  const Slot entry_slot = table.slot(entry);
  consider(entry, entry_slot, source(entry_slot), true);

  while (!s.candidates.empty()) {
    const uint64_t u = pop_min(s.candidates);
    const bool may_stop = !kFilter || s.results.size() >= width;
    if (may_stop && distance_of(u) > distance_of(s.results.back())) break;
    const NeighborList list = table.list(node_of(u), layer);
    if (!list) continue;
    const uint32_t n = list.read(s.links.data());
    const uint32_t fresh = s.first_visits(s.links.data(), n, s.fresh.data());
    for (uint32_t i = 0; i < fresh; ++i) s.fresh_slots[i] = table.slot(s.fresh[i]);
    // The nearest candidate is most often the next one expanded; its list goes first, as
    // the vectors' lines fill every line buffer.
    if (layer == 0 && !s.candidates.empty()) table.prefetch_list0(node_of(s.candidates.front()));
    for (uint32_t i = 0; i < fresh; ++i) source.prefetch(s.fresh_slots[i]);
    source.batch(s.fresh_slots.data(), fresh, s.fresh_distances.data());
    // A neighbour nearer than the worst result will likely be expanded: its list starts
    // loading now, long before it is read.
    if (layer == 0 && s.results.size() >= width) {
      const float worst = distance_of(s.results.back());
      for (uint32_t i = 0; i < fresh; ++i) {
        if (s.fresh_distances[i] < worst) table.prefetch_list0(s.fresh[i]);
      }
    }
    for (uint32_t i = 0; i < fresh; ++i) {
      consider(s.fresh[i], s.fresh_slots[i], s.fresh_distances[i], false);
    }
  }
}

// Greedy descent with breadth 1 from layer `from` down to layer `to` + 1; returns the
// entry for layer `to`.
template <class Source>
NodeId descend(const NodeTable& table, NodeId entry, uint64_t from, uint64_t to,
               const Source& source, Scratch& s) {
  for (uint64_t layer = from; layer > to; --layer) {
    search_layer_ids<false>(table, entry, 1, layer, source, s);
    entry = node_of(s.results.front());
  }
  return entry;
}

}  // namespace tamix::hnsw
