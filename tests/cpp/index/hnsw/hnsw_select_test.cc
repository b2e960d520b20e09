// Choosing a list again from what an earlier choice settled must give the same list as
// choosing from scratch.
#include "index/hnsw/hnsw_select.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "index/distance_sources.h"
#include "index/hnsw/hnsw_test_util.h"

namespace tamix::hnsw {
namespace {

using testing::LowRankVectors;
using testing::TestStore;

constexpr uint64_t kDim = 32;
constexpr uint64_t kLimit = 8;

struct Choice {
  std::vector<NodeId> ids;
  std::vector<float> distances;
  uint32_t kept = 0;
  bool operator==(const Choice&) const = default;
};

// Chooses for `base` from `list` (with its distances) plus `newcomer`, from scratch or
// from what `list` settled.
Choice Rechoose(const NodeTable& table, const ExactCosineFamily& family, NodeId base,
                const Choice& list, NodeId newcomer, bool from_scratch, uint64_t fill_to) {
  const uint32_t n = static_cast<uint32_t>(list.ids.size());
  std::vector<uint64_t> keys;
  for (uint32_t i = 0; i < n; ++i) keys.push_back(pack(list.distances[i], i));
  keys.push_back(pack(family.source(base)(newcomer), n));
  std::sort(keys.begin(), keys.end());
  Scratch s;
  Choice out;
  out.kept = select_diverse(
      table, family, keys, base, kLimit,
      [&](uint32_t i) { return i == n ? newcomer : list.ids[i]; },
      [&](uint32_t i) {
        if (from_scratch || i == n) return Known::kNothing;
        return i < list.kept ? Known::kKept : Known::kDropped;
      },
      fill_to, s);
  for (const uint64_t k : s.picked) {
    out.ids.push_back(node_of(k) == n ? newcomer : list.ids[node_of(k)]);
    out.distances.push_back(distance_of(k));
  }
  return out;
}

TEST(HnswSelectTest, ChoosingAgainMatchesChoosingFromScratch) {
  // Few true dimensions, so that many candidates are covered and lists get a fill.
  TestStore t(LowRankVectors(400, kDim, 3, 1), kDim);
  NodeTable table(kLimit, kLimit);
  for (Slot s = 0; s < 400; ++s) table.add(s);
  const ExactCosineFamily family{t.flat()};
  std::mt19937 rng(2);
  for (NodeId base = 0; base < 100; ++base) {
    Choice list;
    for (int step = 0; step < 60; ++step) {
      const NodeId q = 20 + rng() % 380;
      if (std::count(list.ids.begin(), list.ids.end(), q) != 0) continue;
      // A new node's list has a fill; a pruned one has none.
      const uint64_t fill_to = step < 10 ? kLimit - kLimit / 4 : 0;
      const Choice fresh = Rechoose(table, family, base, list, q, true, fill_to);
      ASSERT_EQ(Rechoose(table, family, base, list, q, false, fill_to), fresh)
          << "base " << base << " step " << step;
      ASSERT_LE(fresh.ids.size(), kLimit);
      list = fresh;
    }
  }
}

}  // namespace
}  // namespace tamix::hnsw
