// Population and placement: every slot goes to the partition of its nearest centroid. The
// nearest centroids are found in parallel first, then the slots are grouped by partition and
// each group inserted into its graph as a batch, the partitions side by side on the worker
// pool; a batch takes the graph's own care of its first nodes (HnswIndex::insert_many).
#include <algorithm>
#include <cassert>
#include <span>

#include "core/pool.h"
#include "index/distance_sources.h"
#include "index/ivf/ivf_index.h"

namespace tamix {

void IvfIndex::build_partitions(const FlatStorage& store, uint64_t n) {
  partitions_.clear();
  placed_ = 0;
  unplaced_.clear();
  place_new(store, n);
}

void IvfIndex::place_new(const FlatStorage& store, uint64_t count) {
  // Slots placed before were taken back from the store: what holds them now is another
  // vector, so nothing placed can be trusted.
  if (count < placed_) {
    build_partitions(store, count);
    return;
  }
  if (!trained()) return;
  const uint64_t end = std::min(count, store.readable_count());  // the rest once mapped
  // Slots a loaded index found in no partition file come first.
  std::vector<Slot> slots = std::move(unplaced_);
  unplaced_.clear();
  for (Slot s = placed_; s < end; ++s) slots.push_back(s);
  place(store, slots);
  placed_ = std::max(placed_, end);
}

void IvfIndex::place(const FlatStorage& store, std::span<const Slot> slots) {
  if (slots.empty()) return;
  const FlatVectors flat = FlatVectors::of(store);
  const uint64_t lists = ranking_.count();
  assert(lists == config_.nlist);  // training fits exactly nlist centroids
  const size_t n = slots.size();
  const std::vector<uint32_t> nearest = pool::map<uint32_t>(
      n, [&](size_t i) { return ranking_.nearest(flat.at(slots[i]), flat.norm(slots[i])); });

  // Counting sort by partition: slots of one partition side by side, in the given order.
  std::vector<size_t> start(lists + 1, 0);
  for (const uint32_t p : nearest) ++start[p + 1];
  for (uint64_t p = 0; p < lists; ++p) start[p + 1] += start[p];
  std::vector<Slot> order(n);
  std::vector<size_t> next(start.begin(), start.end() - 1);
  for (size_t i = 0; i < n; ++i) order[next[nearest[i]]++] = slots[i];

  partitions_.resize(static_cast<size_t>(config_.nlist));
  std::vector<HnswIndex*> graphs(static_cast<size_t>(lists), nullptr);
  for (uint64_t p = 0; p < lists; ++p) {
    if (start[p] == start[p + 1]) continue;
    Partition& part = partitions_[p];
    if (!part.graph) {
      part.graph = std::make_unique<HnswIndex>(config_.hnsw_config);
      part.serial = next_serial_++;
    }
    part.members.insert(part.members.end(), order.begin() + start[p], order.begin() + start[p + 1]);
    graphs[p] = part.graph.get();
  }
  const HalvedCosineFamily family{flat};
  pool::parallel_for(static_cast<size_t>(lists), [&](size_t a, size_t b) {
    for (size_t p = a; p < b; ++p) {
      if (graphs[p] == nullptr) continue;
      graphs[p]->insert_many(std::span<const Slot>(order).subspan(start[p], start[p + 1] - start[p]),
                             family);
    }
  });
}

}  // namespace tamix
