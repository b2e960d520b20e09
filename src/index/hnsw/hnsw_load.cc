// Building a graph from a decoded image: the one place that decides what of a file is kept.
#include <algorithm>
#include <unordered_map>

#include "index/hnsw/hnsw_image.h"
#include "index/hnsw/hnsw_index.h"

namespace tamix {

using hnsw::kNoNode;
using hnsw::NodeId;

namespace {

// The records that become nodes: below the limit, and the last record of their key.
std::vector<size_t> records_kept(const GraphImage& image, uint64_t slot_limit) {
  std::unordered_map<Slot, size_t> last;
  for (size_t i = 0; i < image.nodes.size(); ++i) {
    if (image.nodes[i].key < slot_limit) last[image.nodes[i].key] = i;
  }
  std::vector<size_t> kept;
  for (size_t i = 0; i < image.nodes.size(); ++i) {
    const auto it = last.find(image.nodes[i].key);
    if (it != last.end() && it->second == i) kept.push_back(i);
  }
  return kept;
}

}  // namespace

Status HnswIndex::load(const GraphImage& image, uint64_t slot_limit) {
  std::lock_guard<std::mutex> guard(ids_mu_);
  const std::vector<size_t> records = records_kept(image, slot_limit);
  bool dropped = std::any_of(image.nodes.begin(), image.nodes.end(),
                             [&](const GraphImage::Node& n) { return n.key >= slot_limit; });
  std::vector<NodeId> ids;  // per kept record
  for (const size_t r : records) ids.push_back(claim_locked(image.nodes[r].key));
  // Slots named on layer 0 but stored as no node stay entries without lists, as the search
  // treats them, until they are inserted again. Such a slot then gets a new level, so above
  // layer 0 its names would lead into dead ends: there only slots with a record keep
  // theirs. The upper layers go first, while only the records have ids.
  std::vector<NodeId> listed(image.slots.size(), kNoNode);
  for (const bool upper : {true, false}) {
    for (const size_t r : records) {
      const GraphImage::Node& node = image.nodes[r];
      if (node.lists == 0 || (upper && node.lists == 1)) continue;
      const size_t begin = image.list_starts[node.first_list + (upper ? 1 : 0)];
      const size_t end = image.list_starts[node.first_list + (upper ? node.lists : 1)];
      for (size_t i = begin; i < end; ++i) {
        const Slot slot = image.slots[i];
        const auto it = ids_.find(slot);
        if (slot >= slot_limit || (upper && it == ids_.end())) {
          dropped = true;
        } else {
          listed[i] = it != ids_.end() ? it->second : claim_locked(slot);
        }
      }
    }
  }
  std::vector<NodeId> list_ids;
  for (size_t k = 0; k < records.size(); ++k) {
    const GraphImage::Node& node = image.nodes[records[k]];
    if (ids[k] == kNoNode) continue;  // the id space is full
    table_.reset(ids[k], node.lists, node.level);
    for (uint32_t layer = 0; layer < node.lists; ++layer) {
      const hnsw::NeighborList list = table_.list(ids[k], layer);
      list_ids.clear();
      for (size_t i = image.list_starts[node.first_list + layer];
           i < image.list_starts[node.first_list + layer + 1]; ++i) {
        if (listed[i] != kNoNode && list_ids.size() < table_.capacity(layer)) {
          list_ids.push_back(listed[i]);
        }
      }
      if (list) list.assign(list_ids, {});
    }
  }
  TAMIX_ASSIGN_OR_RETURN(const bool entry_kept, load_top(image, slot_limit, ids));
  generation_.store(dropped || !entry_kept ? 1 : 0, std::memory_order_release);
  return Ok();
}

Result<bool> HnswIndex::load_top(const GraphImage& image, uint64_t slot_limit,
                                 const std::vector<NodeId>& nodes) {
  top_.max_level = image.max_level;
  if (!image.entry_point) return true;
  if (*image.entry_point < slot_limit) {
    // Every insertion starts there; no writer leaves it without a record.
    const auto it = ids_.find(*image.entry_point);
    if (it == ids_.end() || !table_.is_node(it->second)) {
      return Error::Message("entry point " + std::to_string(*image.entry_point) +
                            " has no node record");
    }
    top_.entry = it->second;
    return true;
  }
  // The entry was dropped: the node with the most lists takes its place.
  top_ = Top{};
  for (const NodeId id : nodes) {
    if (id == kNoNode) continue;
    if (top_.entry == kNoNode || table_.list_count(id) > table_.list_count(top_.entry)) {
      top_.entry = id;
    }
  }
  if (top_.entry != kNoNode && table_.list_count(top_.entry) > 0) {
    top_.max_level = table_.list_count(top_.entry) - 1;
  }
  return false;
}

}  // namespace tamix
