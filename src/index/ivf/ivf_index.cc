#include "index/ivf/ivf_index.h"

#include <algorithm>
#include <random>

#include "core/pool.h"
#include "core/top_k.h"
#include "index/distance_sources.h"
#include "index/ivf/ivf_training.h"

namespace tamix {
namespace {

// The k best of the per-probe lists as scores, best first, each slot once.
std::vector<ScoredIndex> merge(std::vector<std::vector<ScoredIndex>> lists, uint64_t k) {
  std::vector<ScoredIndex> all;
  for (const auto& list : lists) {
    for (const ScoredIndex& hit : list) all.push_back({hit.slot, 1.0f - hit.value});
  }
  // A slot's copies share its score, so the order by score puts them side by side.
  std::sort(all.begin(), all.end(), ScoreBefore);
  all.erase(
      std::unique(all.begin(), all.end(),
                  [](const ScoredIndex& a, const ScoredIndex& b) { return a.slot == b.slot; }),
      all.end());
  if (all.size() > k) all.resize(static_cast<size_t>(k));
  return all;
}

// Random, so that trainings of different processes differ too; never 0 (untrained).
uint64_t new_training() {
  std::random_device device;
  uint64_t value = 0;
  while (value == 0) value = (uint64_t{device()} << 32) | device();
  return value;
}

}  // namespace

IvfIndex::IvfIndex(const IvfConfig& config) : config_(config), empty_(config.hnsw_config) {}

const HnswIndex& IvfIndex::partition(uint64_t i) const {
  if (i < partitions_.size() && partitions_[i].graph) return *partitions_[i].graph;
  return empty_;
}

std::span<const Slot> IvfIndex::members(uint64_t i) const {
  if (i < partitions_.size()) return partitions_[i].members;
  return {};
}

Status IvfIndex::train(FlatStorage* store) {
  return train_ivf(store, config_, centroids_, [this](const FlatStorage& s, uint64_t n) {
    ranking_ = CentroidRanking(centroids_);
    build_partitions(s, n);
    training_ = new_training();
    files_held_ = false;
  });
}

Result<std::vector<ScoredIndex>> IvfIndex::search(VectorView query, uint64_t k,
                                                  const FlatStorage* store,
                                                  const LiveSlots* live) const {
  if (!trained()) {
    if (store == nullptr) return Error::Message("Vector storage not initialized");
    return store->search(query, k, live);
  }
  if (store == nullptr) return Error::Message("Vector storage required for IVF search");
  if (k == 0) return std::vector<ScoredIndex>{};
  const std::vector<uint64_t> probes = ranking_.nearest_n(query, config_.nprobe);
  std::vector<ScoredIndex> hits = merge(search_partitions(probes, query, k, *store, live), k);
  // A graph need not reach every member (dead slots hide live ones behind them, or links
  // pruned away): a short answer is completed from the members themselves.
  if (hits.size() < k) hits = scan_members(probes, query, k, *store, live);
  return hits;
}

std::vector<std::vector<ScoredIndex>> IvfIndex::search_partitions(std::span<const uint64_t> probes,
                                                                  VectorView query, uint64_t k,
                                                                  const FlatStorage& store,
                                                                  const LiveSlots* live) const {
  const HalvedCosineOfQuery source(FlatVectors::of(store), query);
  auto one = [&](size_t i) {
    if (probes[i] >= config_.nlist) return std::vector<ScoredIndex>{};
    return partition(probes[i]).search_nearest(source, k, live);
  };
  if (probes.size() == 1) return {one(0)};
  return pool::map<std::vector<ScoredIndex>>(probes.size(), one);
}

std::vector<ScoredIndex> IvfIndex::scan_members(std::span<const uint64_t> probes, VectorView query,
                                                uint64_t k, const FlatStorage& store,
                                                const LiveSlots* live) const {
  const HalvedCosineOfQuery source(FlatVectors::of(store), query);
  std::vector<ScoredIndex> found;
  for (const uint64_t p : probes) {
    for (const Slot s : members(p)) {
      if (live == nullptr || live->contains(s)) found.push_back({s, source(s)});
    }
  }
  return merge({std::move(found)}, k);
}

}  // namespace tamix
