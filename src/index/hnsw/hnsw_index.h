// HnswIndex: a hierarchical navigable small-world graph over vector slots. It stores no
// vectors: every distance comes from a source (index/distance_sources.h) over a store.
//
// Thread-safety: searches, insertions and serialize may all run at once from any threads.
// Searches take no lock; insertions lock one node at a time while they change its lists;
// serialize waits for running insertions and holds new ones off until the image is done.
// The stores behind the sources must not change meanwhile.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/live_slots.h"
#include "core/pool.h"
#include "core/result.h"
#include "core/types.h"
#include "index/hnsw/hnsw_config.h"
#include "index/hnsw/hnsw_level.h"
#include "index/hnsw/hnsw_select.h"
#include "index/hnsw/layer_search.h"
#include "index/hnsw/node_table.h"

namespace tamix {

struct GraphImage;

// One node as the graph image holds it: `neighbors` has a list per layer, layer 0 first.
struct HnswNode {
  Slot id = 0;
  uint64_t level = 0;
  std::vector<std::vector<Slot>> neighbors;

  bool operator==(const HnswNode&) const = default;
};

class HnswIndex {
 public:
  static constexpr uint64_t kAllSlots = UINT64_MAX;

  // An empty graph: no nodes, no entry point, max_level 0.
  explicit HnswIndex(const HnswConfig& config);

  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // Reads a graph image. Nodes whose slot is slot_limit or more (vectors the store never
  // committed) are dropped with every reference to them, and so are references to slots
  // without a record. A configuration that HnswConfig::check refuses is an error, like an
  // undecodable image, and so is an entry point below slot_limit without a record.
  static Result<std::unique_ptr<HnswIndex>> deserialize(std::span<const uint8_t> bytes,
                                                        uint64_t slot_limit = kAllSlots);
  // deserialize's work after the decoding.
  static Result<std::unique_ptr<HnswIndex>> from_image(const GraphImage& image,
                                                       uint64_t slot_limit = kAllSlots);
  // The graph image, nodes in the order they were added.
  std::vector<uint8_t> serialize() const;

  // Adds `slot` as a node (replacing its lists if it is one already), with the family's
  // source for stored vectors (index/distance_sources.h). Neighbours are chosen for
  // diversity (index/hnsw/hnsw_select.h). A family's distances must be symmetric: a link keeps
  // the distance its insertion found, for later pruning.
  template <class Family>
  void insert(Slot slot, const Family& family);
  // Inserts every slot on the worker pool.
  template <class Family>
  void insert_many(std::span<const Slot> slots, const Family& family);

  // Up to max(ef, 1) nodes met on `layer` from `entry`, nearest first, with the source's
  // distances; never empty.
  template <class Source>
  std::vector<ScoredIndex> search_layer(Slot entry, uint64_t ef, uint64_t layer,
                                        const Source& source) const;
  // The k best scores (1 - distance), best first. With `live`, only live slots are
  // answered and fill the layer-0 breadth; dead ones still lead the way.
  template <class Source>
  std::vector<ScoredIndex> search(const Source& source, uint64_t k,
                                  const LiveSlots* live = nullptr) const;
  // The nearest 2k (saturating) of the layer-0 search, ascending by distance: the list one
  // IVF probe contributes.
  template <class Source>
  std::vector<ScoredIndex> search_nearest(const Source& source, uint64_t k,
                                          const LiveSlots* live = nullptr) const;

  const HnswConfig& config() const { return config_; }
  std::optional<Slot> entry_point() const;
  uint64_t max_level() const;
  uint64_t node_count() const;
  // Whether the slot is a node (not just named in a list).
  bool contains(Slot slot) const;
  std::optional<HnswNode> node(Slot slot) const;
  // Every node, in the order they were added.
  std::vector<HnswNode> nodes() const;
  // Slots up to the highest one held or named that are no node: the lowest, and how many.
  struct Gaps {
    Slot first;
    uint64_t count;
    Slot highest;
  };
  std::optional<Gaps> gaps() const;
  // Changes with every insertion: equal values mean an unchanged graph. A loaded graph
  // starts at 0, or 1 when loading dropped anything the image held.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  struct Top {
    hnsw::NodeId entry = hnsw::kNoNode;
    uint64_t max_level = 0;
  };

  HnswIndex(const HnswConfig& config, uint32_t capacity0, uint32_t capacity_upper);
  // Fills a new graph from an image; nothing of slot_limit or above is kept, nor any name
  // of a slot without a record. Refuses an entry point below slot_limit without a record.
  Status load(const GraphImage& image, uint64_t slot_limit);
  // Sets the entry point and max_level; false when the entry had to be replaced.
  Result<bool> load_top(const GraphImage& image, uint64_t slot_limit,
                        const std::vector<hnsw::NodeId>& nodes);

  Top top() const;
  void set_top(Top top);
  // The layer a search from the top starts at: no higher than the entry's own lists.
  uint64_t start_layer(const Top& top) const;
  std::optional<hnsw::NodeId> find(Slot slot) const;
  // The id of a slot, added as an entry without lists when new.
  hnsw::NodeId claim(Slot slot);
  hnsw::NodeId claim_locked(Slot slot);  // ids_mu_ held
  std::vector<hnsw::NodeId> claim_all(std::span<const Slot> slots);
  std::vector<ScoredIndex> to_scored(const std::vector<uint64_t>& entries, uint64_t n) const;
  HnswNode node_at(hnsw::NodeId id) const;
  // Neighbour limit of a layer, never above what a list holds.
  uint64_t limit(uint64_t layer) const {
    return std::min<uint64_t>(layer == 0 ? config_.m_max0 : config_.m_max, table_.capacity(layer));
  }

  template <class Family>
  void insert_node(hnsw::NodeId id, const Family& family);
  template <class Family>
  void choose(hnsw::NodeId id, uint64_t layer, const Family& family, hnsw::Scratch& s);
  template <class Family>
  void link_back(hnsw::NodeId e, hnsw::NodeId q, uint64_t layer, float distance,
                 const Family& family, hnsw::Scratch& s);
  template <class Family>
  uint32_t prune(hnsw::NodeId e, const hnsw::NeighborList& list, hnsw::NodeId q, float distance,
                 uint64_t limit, const Family& family, hnsw::Scratch& s) const;

  HnswConfig config_;
  hnsw::NodeTable table_;

  mutable std::mutex ids_mu_;  // guards ids_ and adding to table_
  std::unordered_map<Slot, hnsw::NodeId> ids_;

  mutable std::mutex top_mu_;  // guards top_
  Top top_;
  // Held through a whole insertion that may set the top (the first, or one above
  // max_level), so two insertions can never both find the graph empty.
  std::mutex grow_mu_;
  // Insertions share it; serialize takes it alone.
  mutable std::shared_mutex image_mu_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace tamix

#include "index/hnsw/hnsw_index_inl.h"
