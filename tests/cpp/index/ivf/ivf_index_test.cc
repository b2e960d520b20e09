#include "index/ivf/ivf_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "index/ivf/ivf_index_test_util.h"

namespace tamix {
namespace {

using testing::ClusteredVectors;
using testing::Lists;
using testing::PartitionOfEach;
using testing::Search;
using testing::SlotsOf;
using testing::TestStore;
using testing::Train;
using Vectors = std::vector<std::vector<float>>;

TEST(IvfIndexTest, IdenticalVectorsConvergeIntoTheFirstPartition) {
  TestStore db(Vectors(5, {0.5f, -1.0f, 2.0f, 0.25f}), 4);
  IvfIndex index(IvfConfig{});
  Train(index, db.store.get());
  ASSERT_TRUE(index.trained());
  EXPECT_EQ(index.centroids().count(), 100u);
  EXPECT_EQ(PartitionOfEach(index, 5), std::vector<uint64_t>(5, 0));  // ties: lowest index
  const auto hits = Search(index, db.vectors[0], 10, *db.store);
  EXPECT_EQ(hits.size(), 5u);
  for (const ScoredIndex& h : hits) EXPECT_NEAR(h.value, 1.0f, 1e-6f);
}

TEST(IvfIndexTest, FewerSamplesThanListsStillPlaceEverySlot) {
  TestStore db({{10, 0}, {0, 10}, {-10, -10}}, 2);
  IvfIndex index(Lists(8, 8));
  Train(index, db.store.get());
  ASSERT_EQ(index.centroids().count(), 8u);
  PartitionOfEach(index, 3);
  EXPECT_EQ(SlotsOf(Search(index, {1, 1}, 3, *db.store)), (std::set<Slot>{0, 1, 2}));
}

TEST(IvfIndexTest, PopulationPutsEverySlotIntoItsNearestCentroidsPartition) {
  TestStore db(ClusteredVectors(1000, 16, 20, 3), 16);
  IvfIndex index(IvfConfig{});
  Train(index, db.store.get());
  const std::vector<uint64_t> where = PartitionOfEach(index, 1000);
  const CentroidRanking ranking(index.centroids());
  for (Slot s = 0; s < 1000; ++s) {
    ASSERT_EQ(where[s], ranking.nearest(db.vectors[s].data(), db.store->norm(s))) << s;
  }
  EXPECT_EQ(index.placed(), 1000u);
}

// A few big partitions: many insertions into one graph at once.
TEST(IvfIndexTest, ConcurrentInsertionsIntoOnePartitionLoseNothing) {
  TestStore db(ClusteredVectors(4000, 8, 3, 4), 8);
  IvfIndex index(Lists(2, 2));
  Train(index, db.store.get());
  PartitionOfEach(index, 4000);
}

TEST(IvfIndexTest, ProbeCountsAndKBoundTheAnswer) {
  TestStore db(ClusteredVectors(300, 8, 6, 5), 8);
  IvfIndex none(Lists(6, 0)), all(Lists(6, 1000));
  Train(none, db.store.get());
  Train(all, db.store.get());
  EXPECT_TRUE(Search(none, db.vectors[0], 10, *db.store).empty());
  EXPECT_TRUE(Search(all, db.vectors[0], 0, *db.store).empty());
  // Every partition probed: every slot can be answered.
  EXPECT_EQ(Search(all, db.vectors[0], 300, *db.store).size(), 300u);
  EXPECT_EQ(all.search(db.vectors[0], 10, nullptr).error().message(),
            "Vector storage required for IVF search");
}

TEST(IvfIndexTest, UntrainedAnswersExactlyLikeTheFlatSearch) {
  TestStore db(ClusteredVectors(200, 8, 4, 6), 8);
  LiveSlots live;
  for (Slot s = 0; s < 200; s += 3) live.insert(s);
  const IvfIndex index(IvfConfig{});
  EXPECT_FALSE(index.trained());
  EXPECT_FALSE(index.partition(99).entry_point().has_value());
  EXPECT_EQ(index.partition(99).config(), HnswConfig{});
  const auto hits = Search(index, db.vectors[7], 10, *db.store, &live);
  const auto exact = db.store->search(db.vectors[7], 10, &live);
  ASSERT_EQ(hits.size(), exact.size());
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].slot, exact[i].slot);
    EXPECT_EQ(hits[i].value, exact[i].value);
  }
  EXPECT_EQ(index.search(db.vectors[7], 10, nullptr).error().message(),
            "Vector storage not initialized");
}

// Scores as every other search gives them: 1 - distance, best first, the exact search's
// score of the same vector up to rounding.
TEST(IvfIndexTest, HitsCarryTheExactScoresBestFirst) {
  TestStore db(ClusteredVectors(2000, 32, 40, 8), 32);
  IvfIndex index(Lists(16, 16));
  Train(index, db.store.get());
  const auto queries = ClusteredVectors(50, 32, 40, 9);
  size_t found = 0;
  for (const auto& q : queries) {
    std::map<Slot, float> exact;
    for (const ScoredIndex& h : db.store->search(q, 2000)) exact[h.slot] = h.value;
    std::set<Slot> truth;
    for (const ScoredIndex& h : db.store->search(q, 10)) truth.insert(h.slot);
    const auto hits = Search(index, q, 10, *db.store);
    ASSERT_EQ(hits.size(), 10u);
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_NEAR(hits[i].value, exact.at(hits[i].slot), 2e-7f);
      if (i > 0) {
        EXPECT_GE(hits[i - 1].value, hits[i].value);
      }
      found += truth.count(hits[i].slot);
    }
  }
  EXPECT_GE(found, 0.95 * 10 * queries.size());  // recall@10 with every partition probed
}

TEST(IvfIndexTest, TrainingAgainReplacesThePartitions) {
  TestStore db(ClusteredVectors(600, 8, 12, 10), 8);
  IvfIndex index(Lists(12, 12));
  Train(index, db.store.get());
  const uint64_t first = index.centroids().generation();
  Train(index, db.store.get());
  ASSERT_NE(index.centroids().generation(), first);
  PartitionOfEach(index, 600);
  const auto hits = Search(index, db.vectors[0], 600, *db.store);
  EXPECT_EQ(hits.size(), 600u);
  EXPECT_EQ(SlotsOf(hits).size(), 600u);
}

TEST(IvfIndexTest, SlotsWithoutIdTakeNoPlace) {
  TestStore db(ClusteredVectors(500, 8, 5, 11), 8);
  IvfIndex index(Lists(5, 2));
  Train(index, db.store.get());
  LiveSlots live;
  for (Slot s = 1; s < 500; s += 2) live.insert(s);
  for (Slot q = 0; q < 20; ++q) {
    const auto hits = Search(index, db.vectors[q], 10, *db.store, &live);
    ASSERT_EQ(hits.size(), 10u);
    for (const ScoredIndex& h : hits) EXPECT_TRUE(live.contains(h.slot));
  }
}

// Identical vectors leave later ones out of every full neighbour list: a graph search cannot
// reach them, so when the reachable ones have no id the members answer instead.
TEST(IvfIndexTest, LiveMembersAnswerWhenTheGraphCannotReachThem) {
  TestStore db(Vectors(300, {1.0f, 2.0f, 3.0f}), 3);
  IvfIndex index(Lists(1, 1));
  Train(index, db.store.get());
  LiveSlots live;
  for (Slot s = 250; s < 300; ++s) live.insert(s);
  const auto hits = Search(index, db.vectors[0], 10, *db.store, &live);
  ASSERT_EQ(hits.size(), 10u);
  for (const ScoredIndex& h : hits) EXPECT_GE(h.slot, 250u);
}

TEST(IvfIndexTest, VectorsAddedAfterTrainingArePlacedOnce) {
  TestStore db(ClusteredVectors(400, 8, 4, 12), 8);
  IvfIndex index(Lists(4, 1));
  Train(index, db.store.get());
  const std::vector<float> added{9, -9, 9, -9, 9, -9, 9, -9};
  ASSERT_TRUE(db.store->add(std::vector<VectorView>{added}).ok());
  index.place_new(*db.store, db.store->count());  // not flushed: not readable yet
  EXPECT_EQ(index.placed(), 400u);
  ASSERT_TRUE(db.store->flush().ok());
  index.place_new(*db.store, db.store->count());
  index.place_new(*db.store, db.store->count());
  EXPECT_EQ(index.placed(), 401u);
  PartitionOfEach(index, 401);
  const auto hits = Search(index, added, 1, *db.store);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].slot, 400u);
}

TEST(IvfIndexTest, ListCountsAboveTheLimitAreRefusedAndZeroStaysUntrained) {
  TestStore db(ClusteredVectors(50, 8, 2, 13), 8);
  IvfIndex huge(Lists(kMaxIvfLists + 1, 1));
  Status refused = huge.train(db.store.get());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "nlist must be at most 65536, got 65537");
  EXPECT_FALSE(huge.save(db.dir.file("ivf")).ok());
  EXPECT_FALSE(std::filesystem::exists(db.dir.file("ivf")));

  IvfIndex none(Lists(0, 1));
  Train(none, db.store.get());
  EXPECT_FALSE(none.trained());
  EXPECT_EQ(Search(none, db.vectors[0], 3, *db.store).size(), 3u);
}

}  // namespace
}  // namespace tamix
