// Building and querying graphs over stored vectors: structure after insertions, recall,
// parallel builds and live-slot filtering.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "index/distance_sources.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/hnsw_test_util.h"

namespace tamix {
namespace {

using testing::ClusteredVectors;
using testing::LowRankVectors;
using testing::Range;
using testing::ReachableFromEntry;
using testing::TestStore;

constexpr uint64_t kDim = 128;

HnswConfig FlatConfig() {  // every level 0
  HnswConfig c;
  c.ml = 0.0f;
  return c;
}

double RecallAt10(const HnswIndex& index, const TestStore& t,
                  const std::vector<std::vector<float>>& queries) {
  size_t found = 0;
  for (const auto& q : queries) {
    std::set<Slot> exact;
    for (const ScoredIndex& h : t.store->search(q, 10)) exact.insert(h.slot);
    for (const ScoredIndex& h : index.search(HalvedCosineOfQuery(t.flat(), q), 10)) {
      found += exact.count(h.slot);
    }
  }
  return static_cast<double>(found) / static_cast<double>(10 * queries.size());
}

float Cosine(const TestStore& t, Slot a, Slot b) {
  return ExactCosineFamily{t.flat()}.source(a)(b);
}

// The list a node got when it was inserted: kept neighbours nearest first, none covered by
// (nearer to) one kept before it, then only covered ones, the fill, nearest first.
void ExpectChosenForDiversity(const TestStore& t, Slot q, const std::vector<Slot>& list) {
  std::vector<Slot> kept;
  size_t fill_from = list.size();
  for (size_t i = 0; i < list.size(); ++i) {
    const Slot c = list[i];
    const bool covered = std::any_of(kept.begin(), kept.end(),
                                     [&](Slot r) { return Cosine(t, c, r) < Cosine(t, c, q); });
    if (covered) {
      fill_from = std::min(fill_from, i);
    } else {
      EXPECT_EQ(fill_from, list.size()) << "slot " << c << " kept after the fill, node " << q;
      kept.push_back(c);
    }
    if (i > 0 && i != fill_from) {
      EXPECT_LE(Cosine(t, q, list[i - 1]), Cosine(t, q, c)) << "node " << q;
    }
  }
}

TEST(HnswBuildTest, FirstNodeIsTheEntryWithEmptyLists) {
  TestStore t(ClusteredVectors(2, kDim, 2, 1), kDim);
  HnswIndex index(FlatConfig());
  EXPECT_TRUE(index.search(HalvedCosineOfQuery(t.flat(), t.vectors[0]), 5).empty());
  index.insert(1, HalvedCosineFamily{t.flat()});
  EXPECT_EQ(index.entry_point(), Slot{1});
  EXPECT_EQ(index.node(1)->neighbors, std::vector<std::vector<Slot>>{{}});
  index.insert(0, HalvedCosineFamily{t.flat()});
  EXPECT_EQ(index.node(1)->neighbors[0], std::vector<Slot>{0});
  EXPECT_EQ(index.node(0)->neighbors[0], std::vector<Slot>{1});
}

TEST(HnswBuildTest, ListsStayWithinLimitsAndNewListsAreChosenForDiversity) {
  TestStore t(LowRankVectors(2000, kDim, 4, 2), kDim);
  HnswIndex index(HnswConfig::from_m(4, 40, 10));
  for (Slot s : Range(2000)) {
    index.insert(s, ExactCosineFamily{t.flat()});
    if (s % 100 == 99) {
      const HnswNode node = *index.node(s);
      for (const auto& list : node.neighbors) ExpectChosenForDiversity(t, s, list);
    }
  }
  EXPECT_EQ(index.node_count(), 2000u);
  for (const HnswNode& n : index.nodes()) {
    ASSERT_EQ(n.neighbors.size(), n.level + 1);
    for (size_t layer = 0; layer < n.neighbors.size(); ++layer) {
      const auto& list = n.neighbors[layer];
      EXPECT_LE(list.size(), layer == 0 ? 8u : 4u);
      EXPECT_EQ(std::set<Slot>(list.begin(), list.end()).size(), list.size());
      EXPECT_EQ(std::count(list.begin(), list.end(), n.id), 0);
    }
  }
}

TEST(HnswBuildTest, PruningKeepsNeighboursInDifferentDirections) {
  // On a circle around slot 0: 1 and 2 close together on one side, 3 on the other. When 3
  // arrives, 0's full list {1, 2} keeps 1 and trades 2, which 1 covers, for the farther 3.
  std::vector<std::vector<float>> vs(4, std::vector<float>(kDim, 0.0f));
  const float angles[] = {0.0f, 0.10f, 0.12f, -0.30f};
  for (int i = 0; i < 4; ++i) vs[i][0] = std::cos(angles[i]), vs[i][1] = std::sin(angles[i]);
  TestStore t(vs, kDim);
  HnswConfig c = FlatConfig();
  c.m_max0 = 2;
  HnswIndex index(c);
  for (Slot s : Range(3)) index.insert(s, ExactCosineFamily{t.flat()});
  EXPECT_EQ(index.node(0)->neighbors[0], (std::vector<Slot>{1, 2}));
  index.insert(3, ExactCosineFamily{t.flat()});
  EXPECT_EQ(index.node(0)->neighbors[0], (std::vector<Slot>{1, 3}));
}

TEST(HnswBuildTest, RecallAt10AgainstExactSearch) {
  TestStore t(LowRankVectors(10000, kDim, 16, 3), kDim);
  HnswIndex index(HnswConfig{});
  index.insert_many(Range(10000), ExactCosineFamily{t.flat()});
  EXPECT_GE(RecallAt10(index, t, LowRankVectors(200, kDim, 16, 4)), 0.95);
}

TEST(HnswBuildTest, ClusteredDataStaysConnectedAndFound) {
  // Well apart: linking each node to its nearest only would leave each cluster to itself.
  auto vectors = ClusteredVectors(10200, kDim, 100, 13, 1.0f);
  const std::vector<std::vector<float>> queries(vectors.begin() + 10000, vectors.end());
  vectors.resize(10000);
  TestStore t(vectors, kDim);
  HnswIndex index(HnswConfig{});
  index.insert_many(Range(10000), HalvedCosineFamily{t.flat()});
  EXPECT_GE(ReachableFromEntry(index), 9990u);
  EXPECT_GE(RecallAt10(index, t, queries), 0.95);
}

TEST(HnswBuildTest, ParallelBuildReachesAsManyNodesAsSerial) {
#ifdef __SANITIZE_ADDRESS__
  // The parallel builds above already run under the sanitizers; this one compares the
  // graphs' shape, and its serial build of 10,000 took most of a minute there.
  GTEST_SKIP() << "run in the Release build";
#endif
  TestStore t(ClusteredVectors(10000, kDim, 1000, 5), kDim);
  HnswIndex serial(HnswConfig{}), parallel(HnswConfig{});
  for (Slot s : Range(10000)) serial.insert(s, HalvedCosineFamily{t.flat()});
  parallel.insert_many(Range(10000), HalvedCosineFamily{t.flat()});
  EXPECT_EQ(parallel.node_count(), 10000u);
  const double a = static_cast<double>(ReachableFromEntry(serial)) / 10000;
  const double b = static_cast<double>(ReachableFromEntry(parallel)) / 10000;
  EXPECT_NEAR(a, b, 0.001) << "serial " << a << ", parallel " << b;
}

TEST(HnswBuildTest, ConcurrentFirstInsertionsNeverBothFindTheGraphEmpty) {
  TestStore t(ClusteredVectors(8, kDim, 2, 6), kDim);
  for (int trial = 0; trial < 200; ++trial) {
    HnswIndex index(HnswConfig{});
    index.insert_many(Range(8), HalvedCosineFamily{t.flat()});
    ASSERT_EQ(ReachableFromEntry(index), 8u) << "trial " << trial;
  }
}

TEST(HnswBuildTest, FirstNodesOfAParallelBuildSeeEveryEarlierNode) {
  // Side by side, the first nodes saw only the entry and linked to it alone; one whose
  // only way in the entry later pruned was never found again.
  TestStore t(ClusteredVectors(9, kDim, 3, 8), kDim);
  for (int trial = 0; trial < 50; ++trial) {
    HnswIndex index(HnswConfig{});
    index.insert_many(Range(9), HalvedCosineFamily{t.flat()});
    for (const HnswNode& n : index.nodes()) {
      ASSERT_EQ(n.neighbors[0].size(), 8u) << "trial " << trial << ", slot " << n.id;
    }
  }
}

TEST(HnswBuildTest, QueryScoresBestFirstAndKZeroOrHugeAreSafe) {
  TestStore t(LowRankVectors(300, kDim, 8, 7), kDim);
  HnswIndex index(HnswConfig::from_m(8, 64, 16));
  index.insert_many(Range(300), ExactCosineFamily{t.flat()});
  const HalvedCosineOfQuery source(t.flat(), t.vectors[42]);
  const auto hits = index.search(source, 5);
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].slot, 42u);
  EXPECT_NEAR(hits[0].value, 1.0f, 1e-6);
  for (size_t i = 1; i < hits.size(); ++i) EXPECT_GE(hits[i - 1].value, hits[i].value);
  EXPECT_TRUE(index.search(source, 0).empty());
  EXPECT_LE(index.search(source, UINT64_MAX).size(), 300u);
}

TEST(HnswBuildTest, DeadSlotsRouteButNeverAnswer) {
  TestStore t(LowRankVectors(3000, kDim, 16, 8), kDim);
  HnswIndex index(HnswConfig{});
  index.insert_many(Range(3000), ExactCosineFamily{t.flat()});
  LiveSlots all, few;
  for (Slot s = 0; s < 3000; ++s) all.insert(s);
  for (Slot s = 0; s < 3000; s += 50) few.insert(s);  // 98% dead
  for (const auto& q : LowRankVectors(20, kDim, 16, 9)) {
    const HalvedCosineOfQuery source(t.flat(), q);
    const auto plain = index.search(source, 10);
    const auto live = index.search(source, 10, &all);
    ASSERT_EQ(live.size(), plain.size());
    for (size_t i = 0; i < live.size(); ++i) EXPECT_EQ(live[i].slot, plain[i].slot);
    const auto sparse = index.search(source, 10, &few);
    ASSERT_EQ(sparse.size(), 10u);
    for (const ScoredIndex& h : sparse) EXPECT_TRUE(few.contains(h.slot));
  }
}

TEST(HnswBuildTest, SearchesRunBesideInsertions) {
  TestStore t(ClusteredVectors(3000, kDim, 30, 10), kDim);
  HnswIndex index(HnswConfig::from_m(8, 50, 20));
  index.insert_many(Range(100), HalvedCosineFamily{t.flat()});
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      EXPECT_FALSE(index.search(HalvedCosineOfQuery(t.flat(), t.vectors[7]), 10).empty());
      index.serialize();
    }
  });
  const auto rest = Range(3000);
  index.insert_many(std::span<const Slot>(rest).subspan(100), HalvedCosineFamily{t.flat()});
  done = true;
  reader.join();
  EXPECT_EQ(index.node_count(), 3000u);
}

TEST(HnswBuildTest, GenerationCountsInsertionsOnly) {
  TestStore t(ClusteredVectors(3, kDim, 2, 11), kDim);
  HnswIndex index(HnswConfig{});
  EXPECT_EQ(index.generation(), 0u);
  index.insert(0, HalvedCosineFamily{t.flat()});
  index.insert(1, HalvedCosineFamily{t.flat()});
  const uint64_t g = index.generation();
  EXPECT_EQ(g, 2u);
  index.serialize();
  index.search(HalvedCosineOfQuery(t.flat(), t.vectors[0]), 3);
  EXPECT_EQ(index.generation(), g);
}

TEST(HnswBuildTest, DegenerateLimitsStayWellFormed) {
  TestStore t(ClusteredVectors(50, kDim, 5, 12), kDim);
  for (uint64_t m : {0, 1}) {
    HnswIndex index(HnswConfig::from_m(m, 10, 10));
    index.insert_many(Range(50), HalvedCosineFamily{t.flat()});
    for (const HnswNode& n : index.nodes()) {
      ASSERT_EQ(n.neighbors.size(), n.level + 1);
      EXPECT_EQ(n.level, m == 1 ? 16u : 0u);
      for (size_t layer = 0; layer < n.neighbors.size(); ++layer) {
        EXPECT_LE(n.neighbors[layer].size(), layer == 0 ? 2 * m : m);
      }
    }
    EXPECT_FALSE(index.search(HalvedCosineOfQuery(t.flat(), t.vectors[0]), 3).empty());
  }
}

}  // namespace
}  // namespace tamix
