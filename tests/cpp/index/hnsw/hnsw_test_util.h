// Helpers shared by the graph tests: stores of seeded vectors, hand-made graph images and
// graph walks.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "index/distance_sources.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/flat_storage.h"
#include "storage/storage_test_util.h"

namespace tamix::testing {

// n vectors around `centres` Gaussian centres (deviation 1), with Gaussian noise.
inline std::vector<std::vector<float>> ClusteredVectors(size_t n, size_t d, size_t centres,
                                                        uint32_t seed, float noise_sd = 1.5f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f), noise(0.0f, noise_sd);
  std::vector<std::vector<float>> c(centres, std::vector<float>(d));
  for (auto& v : c)
    for (auto& x : v) x = unit(rng);
  std::uniform_int_distribution<size_t> pick(0, centres - 1);
  std::vector<std::vector<float>> out(n, std::vector<float>(d));
  for (auto& v : out) {
    const auto& centre = c[pick(rng)];
    for (size_t i = 0; i < d; ++i) v[i] = centre[i] + noise(rng);
  }
  return out;
}

// n vectors of a `latent`-dimensional Gaussian mapped into d dimensions by one fixed random
// map: data with few true dimensions, like real embeddings, where graphs find neighbours.
inline std::vector<std::vector<float>> LowRankVectors(size_t n, size_t d, size_t latent,
                                                      uint32_t seed) {
  std::mt19937 map_rng(7), rng(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> map(latent * d);
  for (auto& x : map) x = unit(map_rng);
  std::vector<std::vector<float>> out(n, std::vector<float>(d, 0.0f));
  std::vector<float> z(latent);
  for (auto& v : out) {
    for (auto& x : z) x = unit(rng);
    for (size_t j = 0; j < latent; ++j)
      for (size_t i = 0; i < d; ++i) v[i] += z[j] * map[j * d + i];
  }
  return out;
}

// A flat store in its own directory, every vector flushed.
struct TestStore {
  TempDir dir;
  std::unique_ptr<FlatStorage> store;
  std::vector<std::vector<float>> vectors;

  TestStore(std::vector<std::vector<float>> vs, uint64_t dim) : vectors(std::move(vs)) {
    store = StoreWith(dir, dim, vectors, vectors.size());
  }
  FlatVectors flat() const { return FlatVectors::of(*store); }
};

// Builds graph images field by field.
class ImageBuilder {
 public:
  ImageBuilder& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  ImageBuilder& u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  ImageBuilder& node(Slot key, uint64_t level, const std::vector<std::vector<Slot>>& lists) {
    u64(key).u64(key).u64(level).u64(lists.size());
    for (const auto& list : lists) {
      u64(list.size());
      for (Slot s : list) u64(s);
    }
    return *this;
  }
  // Entry tag and slot, max_level and the configuration.
  ImageBuilder& tail(std::optional<Slot> entry, uint64_t max_level, const HnswConfig& c = {}) {
    u8(entry ? 1 : 0);
    if (entry) u64(*entry);
    u64(max_level).u64(c.m).u64(c.m_max).u64(c.m_max0).u64(c.ef_construction).u64(c.ef_search);
    const uint32_t ml = std::bit_cast<uint32_t>(c.ml);
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(ml >> (8 * i)));
    return u8(c.use_quantization ? 1 : 0);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Nodes reachable on layer 0 from the entry point.
inline size_t ReachableFromEntry(const HnswIndex& index) {
  const std::optional<Slot> entry = index.entry_point();
  if (!entry) return 0;
  std::set<Slot> seen{*entry};
  std::deque<Slot> todo{*entry};
  while (!todo.empty()) {
    const std::optional<HnswNode> node = index.node(todo.front());
    todo.pop_front();
    if (!node || node->neighbors.empty()) continue;
    for (Slot s : node->neighbors[0]) {
      if (seen.insert(s).second) todo.push_back(s);
    }
  }
  return seen.size();
}

inline std::vector<Slot> Range(Slot n) {
  std::vector<Slot> out(n);
  for (Slot i = 0; i < n; ++i) out[i] = i;
  return out;
}

}  // namespace tamix::testing
