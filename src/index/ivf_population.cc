// Population and placement: every slot goes to the partition of its nearest centroid. The
// nearest centroids are found in parallel first, then the slots are grouped by partition and
// inserted on the worker pool; insertions into one graph may run together (the graph's own
// locks keep each of them whole), so nothing depends on how the work was split.
#include <algorithm>
#include <cassert>

#include "core/pool.h"
#include "index/distance_sources.h"
#include "index/ivf_index.h"

namespace tamix {

void IvfIndex::build_partitions(const FlatStorage& store, uint64_t n) {
  partitions_.clear();
  placed_ = 0;
  place(store, 0, n);
}

void IvfIndex::place_new(const FlatStorage& store, uint64_t count) {
  // Slots placed before were taken back from the store: what holds them now is another
  // vector, so nothing placed can be trusted.
  if (count < placed_) {
    build_partitions(store, count);
    return;
  }
  place(store, placed_, count);
}

void IvfIndex::place(const FlatStorage& store, Slot first, Slot end) {
  if (!trained()) return;
  end = std::min(end, store.readable_count());  // the rest once a flush maps them
  if (first >= end) return;
  const FlatVectors flat = FlatVectors::of(store);
  const uint64_t lists = ranking_.count();
  assert(lists == config_.nlist);  // training fits exactly nlist centroids
  const size_t n = static_cast<size_t>(end - first);
  const std::vector<uint32_t> nearest = pool::map<uint32_t>(n, [&](size_t i) {
    const Slot s = first + i;
    return ranking_.nearest(flat.at(s), flat.norm(s));
  });

  // Counting sort by partition: slots of one partition side by side, in slot order.
  std::vector<size_t> start(lists + 1, 0);
  for (const uint32_t p : nearest) ++start[p + 1];
  for (uint64_t p = 0; p < lists; ++p) start[p + 1] += start[p];
  std::vector<Slot> order(n);
  std::vector<size_t> next(start.begin(), start.end() - 1);
  for (size_t i = 0; i < n; ++i) order[next[nearest[i]]++] = first + i;

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
  pool::parallel_for(n, [&](size_t a, size_t b) {
    for (size_t i = a; i < b; ++i) graphs[nearest[order[i] - first]]->insert(order[i], family);
  });
  placed_ = end;
}

}  // namespace tamix
