// NodeTable: the nodes of one graph in its own compact id space (NodeId, dense from 0 in the
// order entries were added), so a graph over a few scattered slots costs only its own size.
// Each entry has a slot, a level, and its neighbour lists as NodeIds: layer 0 in fixed-width
// arrays shared by all entries of a segment, the layers above in one block per node.
//
// Thread-safety: storage grows in segments that never move, and list ids are read and
// written atomically, so any number of readers run without a lock while writers change
// lists. Writers of one node's lists hold that node's lock. add() must be serialised by the
// caller.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/types.h"

namespace tamix::hnsw {

using NodeId = uint32_t;

inline constexpr NodeId kNoNode = UINT32_MAX;
// Longest list a graph keeps on any layer: limits above it (m > 256) are cut to it.
inline constexpr uint32_t kMaxLinks = 512;

// One neighbour list in place, in two parts. The ids, each stored plus one so a zero ends
// the list, are all a search reads: a layer-0 list of 32 is two aligned lines. The header
// (count, and flags, below) and the distances from the list's owner, which only writers
// need, lie elsewhere. Ids may be read without a lock; the rest only under the owner's lock.
//
// A chosen list (as opposed to one appended to or read from a file) is its kept neighbours
// nearest first, then the fill; pruning it again only needs distances to the newcomer.
class NeighborList {
 public:
  static constexpr uint32_t kNotChosen = UINT32_MAX;

  NeighborList() = default;
  // ids: `capacity` words, zero past the count; rest: the header, then `capacity` floats.
  NeighborList(uint32_t* ids, uint32_t* rest, uint32_t capacity)
      : ids_(ids), rest_(rest), capacity_(capacity) {}

  explicit operator bool() const { return ids_ != nullptr; }

  // Copies the ids into out (room for the capacity); returns how many.
  uint32_t read(NodeId* out) const {
    uint32_t n = 0;
    for (uint32_t word; n < capacity_ && (word = load(ids_[n])) != 0; ++n) out[n] = word - 1;
    return n;
  }

  // The owner's lock is held for everything below.
  uint32_t count() const { return std::min(rest_[0] & kCountMask, capacity_); }
  bool distances_known() const { return (rest_[0] & kKnown) != 0; }
  float distance(uint32_t i) const { return std::bit_cast<float>(rest_[1 + i]); }
  // How many leading entries were kept by the last choice; kNotChosen when the list was
  // not chosen as a whole since.
  uint32_t kept() const {
    const uint32_t word = rest_[0];
    return (word & kChosen) != 0 ? (word >> kKeptShift) & kCountMask : kNotChosen;
  }
  // Replaces the list; distances may be empty (unknown) or one per id. `kept` as above;
  // a chosen list needs its distances.
  void assign(std::span<const NodeId> ids, std::span<const float> distances,
              uint32_t kept = kNotChosen) const;
  // Adds one id to a list with room left.
  void append(NodeId id, float distance) const;
  // Empties the list.
  void clear() const;

 private:
  static constexpr uint32_t kCountMask = 0x3FF;  // counts up to kMaxLinks
  static_assert(kMaxLinks <= kCountMask);
  static constexpr int kKeptShift = 10;
  static constexpr uint32_t kChosen = 1u << 30;
  static constexpr uint32_t kKnown = 1u << 31;

  static uint32_t load(const uint32_t& word) {
    return std::atomic_ref<const uint32_t>(word).load(std::memory_order_acquire);
  }
  void store_ids(std::span<const NodeId> ids, uint32_t old_count) const;

  uint32_t* ids_ = nullptr;
  uint32_t* rest_ = nullptr;
  uint32_t capacity_ = 0;
};

class NodeTable {
 public:
  // capacity0 / capacity_upper: ids a list holds on layer 0 / above (each <= kMaxLinks).
  NodeTable(uint32_t capacity0, uint32_t capacity_upper);
  ~NodeTable();

  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;

  uint32_t capacity(uint64_t layer) const { return layer == 0 ? capacity0_ : capacity_upper_; }
  NodeId size() const { return size_.load(std::memory_order_acquire); }

  // Appends an entry for `slot` that is not a node yet (no lists); kNoNode when the id
  // space is full. Callers serialise calls.
  NodeId add(Slot slot);

  // A graph over slots 0, 1, 2, ... added in order (the main graph) has ids equal to its
  // slots; searches then skip a lookup that misses the cache for every distance.
  Slot slot(NodeId id) const {
    if (in_order_.load(std::memory_order_acquire)) return id;
    return at(id).segment->slots[at(id).offset];
  }
  bool is_node(NodeId id) const { return (meta(id) & kNodeBit) != 0; }
  uint32_t list_count(NodeId id) const { return meta(id) & 0xFF; }
  uint64_t level(NodeId id) const { return (meta(id) >> 8) & 0xFF; }

  // A node's list on a layer; empty when it has none above layer 0. Every entry has room
  // for a layer-0 list, empty while it has none (not a node, or read with no lists), so
  // searches on layer 0 need no look at the node's level.
  NeighborList list(NodeId id, uint64_t layer) const {
    const Place place = at(id);
    if (layer == 0) {
      return {place.segment->ids0 + place.offset * ids0_stride_,
              place.segment->rest0 + place.offset * (1 + uint64_t{capacity0_}), capacity0_};
    }
    uint32_t* upper = place.segment->info[place.offset].upper.load(std::memory_order_acquire);
    if (upper == nullptr || layer > upper[0]) return {};
    uint32_t* ids = upper + 1 + (layer - 1) * (1 + 2 * uint64_t{capacity_upper_});
    return {ids, ids + capacity_upper_, capacity_upper_};
  }

  // Starts loading a node's layer-0 ids, to be read after some distances are computed.
  void prefetch_list0(NodeId id) const {
    const Place place = at(id);
    const char* p = reinterpret_cast<const char*>(place.segment->ids0 + place.offset * ids0_stride_);
    for (uint32_t line = 0; line < ids0_lines_; ++line) __builtin_prefetch(p + 64 * line);
  }

  // Makes the entry a node with `lists` empty lists (at most 17). Earlier lists are dropped;
  // their memory stays until the table goes, as readers may still hold it. The caller holds
  // the node's lock.
  void reset(NodeId id, uint32_t lists, uint64_t level);

  void lock(NodeId id) const;
  void unlock(NodeId id) const;

 private:
  static constexpr uint32_t kNodeBit = 1u << 16;
  static constexpr int kFirstBits = 6;  // the first segment holds 64 entries, each next twice more
  static constexpr int kSegments = 27;  // enough for 2^32 entries

  struct Info {
    std::atomic<uint32_t> meta;  // bits 0-7: list count, 8-15: level, 16: is a node
    std::atomic<uint32_t> lock;
    std::atomic<uint32_t*> upper;  // [0] layer count, then one upper list per layer
  };
  struct Segment {
    uint32_t* ids0;   // layer-0 ids of each entry, ids0_stride_ words apart, line-aligned
    uint32_t* rest0;  // layer-0 header and distances of each entry, 1 + capacity0_ words apart
    Slot* slots;
    Info* info;
    void* mapped;  // what to unmap: the segment lies inside it
    size_t mapped_bytes;
  };
  struct Place {
    Segment* segment;
    uint64_t offset;
  };

  Place at(NodeId id) const {
    const uint64_t shifted = uint64_t{id} + (uint64_t{1} << kFirstBits);
    const int index = std::bit_width(shifted) - 1 - kFirstBits;
    const uint64_t offset = shifted - (uint64_t{1} << (index + kFirstBits));
    return {segments_[index].load(std::memory_order_acquire), offset};
  }
  Info& info(NodeId id) const { return at(id).segment->info[at(id).offset]; }
  uint32_t meta(NodeId id) const { return info(id).meta.load(std::memory_order_acquire); }
  Segment* new_segment(int index) const;
  uint32_t* new_upper(uint32_t layers);

  uint32_t capacity0_;
  uint32_t capacity_upper_;
  uint32_t ids0_stride_;  // capacity0_ rounded up to whole cache lines
  uint32_t ids0_lines_;   // of one entry's layer-0 ids, the most a prefetch asks for
  std::atomic<NodeId> size_{0};
  // Every entry's slot equals its id. Cleared before an entry that breaks this is
  // published, so a reader that meets its id sees it cleared.
  std::atomic<bool> in_order_{true};
  std::array<std::atomic<Segment*>, kSegments> segments_{};

  std::mutex upper_mu_;  // guards the blocks below
  std::vector<std::unique_ptr<uint32_t[]>> upper_chunks_;
  uint32_t* upper_next_ = nullptr;  // the first free word of the last chunk
  size_t upper_free_ = 0;           // words left in the last chunk
};

}  // namespace tamix::hnsw
