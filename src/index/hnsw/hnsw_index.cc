#include "index/hnsw/hnsw_index.h"

#include <algorithm>

#include "index/hnsw/hnsw_image.h"

namespace tamix {

using hnsw::kNoNode;
using hnsw::NodeId;

namespace {

uint32_t capacity_for(uint64_t limit) {
  return static_cast<uint32_t>(std::min<uint64_t>(limit, hnsw::kMaxLinks));
}

}  // namespace

HnswIndex::HnswIndex(const HnswConfig& config)
    : HnswIndex(config, capacity_for(config.m_max0), capacity_for(config.m_max)) {}

HnswIndex::HnswIndex(const HnswConfig& config, uint32_t capacity0, uint32_t capacity_upper)
    : config_(config), table_(capacity0, capacity_upper) {}

HnswIndex::Top HnswIndex::top() const {
  std::lock_guard<std::mutex> guard(top_mu_);
  return top_;
}

void HnswIndex::set_top(Top top) {
  std::lock_guard<std::mutex> guard(top_mu_);
  top_ = top;
}

uint64_t HnswIndex::start_layer(const Top& top) const {
  const uint32_t lists = table_.list_count(top.entry);
  return lists == 0 ? 0 : std::min<uint64_t>(top.max_level, lists - 1);
}

std::optional<NodeId> HnswIndex::find(Slot slot) const {
  std::lock_guard<std::mutex> guard(ids_mu_);
  auto it = ids_.find(slot);
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

NodeId HnswIndex::claim_locked(Slot slot) {
  auto it = ids_.find(slot);
  if (it != ids_.end()) return it->second;
  const NodeId id = table_.add(slot);
  if (id != kNoNode) ids_.emplace(slot, id);  // else the id space is full
  return id;
}

NodeId HnswIndex::claim(Slot slot) {
  std::lock_guard<std::mutex> guard(ids_mu_);
  return claim_locked(slot);
}

std::vector<NodeId> HnswIndex::claim_all(std::span<const Slot> slots) {
  std::lock_guard<std::mutex> guard(ids_mu_);
  std::vector<NodeId> ids;
  ids.reserve(slots.size());
  for (const Slot s : slots) ids.push_back(claim_locked(s));
  return ids;
}

std::vector<ScoredIndex> HnswIndex::to_scored(const std::vector<uint64_t>& entries,
                                              uint64_t n) const {
  const size_t count = static_cast<size_t>(std::min<uint64_t>(n, entries.size()));
  std::vector<ScoredIndex> out(count);
  for (size_t i = 0; i < count; ++i) {
    out[i] = {table_.slot(hnsw::node_of(entries[i])), hnsw::distance_of(entries[i])};
  }
  return out;
}

std::optional<Slot> HnswIndex::entry_point() const {
  const Top t = top();
  if (t.entry == kNoNode) return std::nullopt;
  return table_.slot(t.entry);
}

uint64_t HnswIndex::max_level() const { return top().max_level; }

uint64_t HnswIndex::node_count() const {
  uint64_t n = 0;
  for (NodeId id = 0, size = table_.size(); id < size; ++id) n += table_.is_node(id);
  return n;
}

HnswNode HnswIndex::node_at(NodeId id) const {
  HnswNode node{table_.slot(id), table_.level(id), {}};
  std::vector<NodeId> ids(std::max(table_.capacity(0), table_.capacity(1)));
  for (uint32_t layer = 0; layer < table_.list_count(id); ++layer) {
    std::vector<Slot>& slots = node.neighbors.emplace_back();
    const hnsw::NeighborList list = table_.list(id, layer);
    const uint32_t n = list ? list.read(ids.data()) : 0;
    for (uint32_t i = 0; i < n; ++i) slots.push_back(table_.slot(ids[i]));
  }
  return node;
}

bool HnswIndex::contains(Slot slot) const {
  const std::optional<NodeId> id = find(slot);
  return id && table_.is_node(*id);
}

std::optional<HnswNode> HnswIndex::node(Slot slot) const {
  const std::optional<NodeId> id = find(slot);
  if (!id || !table_.is_node(*id)) return std::nullopt;
  return node_at(*id);
}

std::vector<HnswNode> HnswIndex::nodes() const {
  std::unique_lock<std::shared_mutex> image(image_mu_);
  std::vector<HnswNode> out;
  for (NodeId id = 0, size = table_.size(); id < size; ++id) {
    if (table_.is_node(id)) out.push_back(node_at(id));
  }
  return out;
}

std::optional<HnswIndex::Gaps> HnswIndex::gaps() const {
  std::unique_lock<std::shared_mutex> image(image_mu_);
  std::vector<Slot> held;
  Slot highest = 0;
  for (NodeId id = 0, size = table_.size(); id < size; ++id) {
    highest = std::max(highest, table_.slot(id));
    if (table_.is_node(id)) held.push_back(table_.slot(id));
  }
  if (table_.size() == 0 || (!held.empty() && highest == held.size() - 1)) return std::nullopt;
  std::sort(held.begin(), held.end());
  Slot first = 0;
  while (first < held.size() && held[first] == first) ++first;
  return Gaps{first, highest - held.size() + 1, highest};
}

std::vector<uint8_t> HnswIndex::serialize() const {
  std::unique_lock<std::shared_mutex> image(image_mu_);
  const NodeId size = table_.size();
  const Top t = top();
  std::vector<NodeId> ids(std::max(table_.capacity(0), table_.capacity(1)));
  auto read = [&](NodeId id, uint32_t layer) -> uint32_t {
    const hnsw::NeighborList list = table_.list(id, layer);
    return list ? list.read(ids.data()) : 0;
  };
  uint64_t nodes = 0;
  size_t bytes = 8 + kImageTailSize + (t.entry == kNoNode ? 0 : 8);
  for (NodeId id = 0; id < size; ++id) {
    if (!table_.is_node(id)) continue;
    ++nodes;
    bytes += 32;
    for (uint32_t layer = 0; layer < table_.list_count(id); ++layer) {
      bytes += 8 + 8 * read(id, layer);
    }
  }
  std::vector<uint8_t> out(bytes);
  ImageWriter w(out.data());
  w.u64(nodes);
  for (NodeId id = 0; id < size; ++id) {
    if (!table_.is_node(id)) continue;
    w.u64(table_.slot(id));  // the key
    w.u64(table_.slot(id));  // the id
    w.u64(table_.level(id));
    w.u64(table_.list_count(id));
    for (uint32_t layer = 0; layer < table_.list_count(id); ++layer) {
      const uint32_t n = read(id, layer);
      w.u64(n);
      for (uint32_t i = 0; i < n; ++i) w.u64(table_.slot(ids[i]));
    }
  }
  std::optional<Slot> entry;
  if (t.entry != kNoNode) entry = table_.slot(t.entry);
  w.tail(entry, t.max_level, config_);
  return out;
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::deserialize(std::span<const uint8_t> bytes,
                                                          uint64_t slot_limit) {
  TAMIX_ASSIGN_OR_RETURN(const GraphImage image, decode_graph_image(bytes));
  return from_image(image, slot_limit);
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::from_image(const GraphImage& image,
                                                         uint64_t slot_limit) {
  TAMIX_TRY(image.config.check());
  // Lists longer than the configured limits (not written by this system) are kept up to
  // kMaxLinks.
  uint64_t longest0 = 0, longest_upper = 0;
  for (const GraphImage::Node& node : image.nodes) {
    for (uint32_t layer = 0; layer < node.lists; ++layer) {
      uint64_t& longest = layer == 0 ? longest0 : longest_upper;
      longest = std::max<uint64_t>(longest, image.list(node.first_list + layer).size());
    }
  }
  std::unique_ptr<HnswIndex> index(
      new HnswIndex(image.config, capacity_for(std::max(image.config.m_max0, longest0)),
                    capacity_for(std::max(image.config.m_max, longest_upper))));
  TAMIX_TRY(index->load(image, slot_limit));
  return index;
}

}  // namespace tamix
