#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "engine/engine_fixture.h"
#include "engine/modes.h"
#include "engine/tamix.h"
#include "engine/testing_seam.h"
#include "support/file_size_limit.h"
#include "support/file_stamps.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

TEST_F(EngineTest, OpenRefusesDimensionAndModeBeforeTouchingDisk) {
  auto low = Tamix::open(dir_.file("a"), 127, "flat");
  ASSERT_FALSE(low.ok());
  EXPECT_EQ(low.error().kind(), Error::Kind::kInvalidInput);
  EXPECT_EQ(low.error().message().rfind("Dimension must be between 128 and 4096, got 127. ", 0),
            0u);
  auto mode = Tamix::open(dir_.file("b"), 128, " flat");
  ASSERT_FALSE(mode.ok());
  EXPECT_EQ(mode.error().message(),
            "Invalid mode ' flat'. Choose: 'flat', 'hnsw', 'sq8', 'pq', or 'auto'");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("a")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("b")));
}

TEST_F(EngineTest, ModeWordsSetFlags) {
  EXPECT_EQ(find_mode_word("HNSW")->mode, IndexMode::Hnsw);
  auto db = Open("HNSW");
  EXPECT_EQ(db->info(), "Tamix(dimension=128, mode='HNSW', vectors=0)");
  db.reset();
  EXPECT_EQ(find_mode_word("Product")->mode, IndexMode::Flat);
  db = Open("Product");  // a flat store under the quantization flag
  EXPECT_EQ(db->search(std::vector<float>(kDim, 1.0f), 1).error().message(),
            "Product Quantization enabled but storage not initialized");
}

TEST_F(EngineTest, PathWithNulIsRefused) {
  auto db = Tamix::open(dir_.str() + std::string(1, '\0') + "x", kDim, "flat");
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.error().message(), "file name contained an unexpected NUL byte");
}

TEST_F(EngineTest, AddThenSearchFindsEachVectorFirst) {
  auto db = Open();
  Batch b = MakeBatch(300);
  ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  ASSERT_TRUE(db->persist().ok());
  auto hits = db->search(b.views[123], 3);
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits.value().size(), 3u);
  EXPECT_EQ(hits.value()[0].id, "id123");
  EXPECT_NEAR(hits.value()[0].score, 1.0f, 1e-6);
  EXPECT_EQ(db->get("id5").value().value(), R"({"__id__":"id5","i":5})");
}

TEST_F(EngineTest, SearchFindsWhatWasJustAddedWithoutAPersist) {
  Batch b = MakeBatch(300);
  for (const bool graph : {false, true}) {
    auto db = graph ? std::move(Tamix::new_hnsw(dir_.file("g"), kDim, 16, 200, 50).value())
                    : Open();
    ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
    EXPECT_EQ(Ids(db->search(b.views[123], 1).value()), std::vector<std::string>{"id123"});
    EXPECT_EQ(Ids(db->search_batch({&b.views[7], 1}, 1).value()[0]),
              std::vector<std::string>{"id7"});
  }
}

TEST_F(EngineTest, AddChecksInOrderAndStoresNothingOnRefusal) {
  auto db = Open();
  Batch b = MakeBatch(3);
  b.vecs[1].resize(64);
  b.views[1] = b.vecs[1];
  b.ids[2] = "id0";
  auto res = db->add(b.ids, b.views, b.metas);
  ASSERT_FALSE(res.ok());
  EXPECT_EQ(res.error().message().rfind("Vector 1 has dimension 64, expected 128. ", 0), 0u);
  std::vector<std::string> two_metas(b.metas.begin(), b.metas.begin() + 2);
  EXPECT_EQ(db->add(b.ids, b.views, two_metas).error().message(),
            "ids, embeddings, and metadatas must have same length");
  EXPECT_EQ(db->count(), 0u);
}

TEST_F(EngineTest, NonFiniteVectorsAndQueriesAreRefused) {
  auto db = Open();
  Batch b = MakeBatch(2);
  b.vecs[1][5] = std::numeric_limits<float>::quiet_NaN();
  auto res = db->add(b.ids, b.views, b.metas);
  ASSERT_FALSE(res.ok());
  EXPECT_EQ(res.error().kind(), Error::Kind::kInvalidInput);
  EXPECT_EQ(res.error().message(), "Vector 1 contains NaN or infinite values");
  EXPECT_EQ(db->count(), 0u);
  b.vecs[1][5] = std::numeric_limits<float>::infinity();
  EXPECT_EQ(db->check_query(b.views[1]).error().message(), "Query contains NaN or infinite values");
  EXPECT_EQ(db->check_queries(b.views).error().message(),
            "Query 1 contains NaN or infinite values");
}

TEST_F(EngineTest, DuplicateIdOfEarlierCallIsRefused) {
  auto db = Open();
  Add(*db, 2);
  Batch again = MakeBatch(1, 1);
  EXPECT_EQ(db->add(again.ids, again.views, again.metas).error().message(),
            "Duplicate ID: 'id1'. Use unique IDs or call delete() first.");
}

TEST_F(EngineTest, IdsSurviveReopen) {
  Batch b = MakeBatch(50);
  {
    auto db = Open();
    ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  }  // no persist: the drop flushes
  auto db = Open();
  EXPECT_EQ(db->count(), 50u);
  EXPECT_EQ(db->get_all_ids().size(), 50u);
  EXPECT_EQ(Ids(db->search(b.views[7], 1).value()), std::vector<std::string>{"id7"});
  Batch again = MakeBatch(1, 7);
  EXPECT_EQ(db->add(again.ids, again.views, again.metas).error().kind(),
            Error::Kind::kInvalidInput);
}

TEST_F(EngineTest, DeleteRemovesEverySlotOfAnIdDurably) {
  Batch b = MakeBatch(3);
  b.ids[2] = "id0";  // the same id twice in one batch
  {
    auto db = Open();
    ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
    ASSERT_TRUE(db->persist().ok());
    EXPECT_EQ(db->delete_ids(std::vector<std::string>{"id0", "id0", "nope"}), 1u);
    EXPECT_TRUE(db->search(b.views[0], 3).value().size() == 1);
  }
  auto db = Open();
  EXPECT_EQ(db->get_all_ids(), std::vector<std::string>{"id1"});
  EXPECT_EQ(Ids(db->search(b.views[0], 3).value()), std::vector<std::string>{"id1"});
  EXPECT_EQ(db->count(), 3u);
}

TEST_F(EngineTest, FailedAppendTakesBackTheIdsItHandedOver) {
  Batch b = MakeBatch(2000);  // large enough for the append to overlap the metadata
  {
    auto db = Open();
    testing::FileSizeLimit limit;
    ASSERT_TRUE(limit.Limit(600 << 10));
    auto res = db->add(b.ids, b.views, b.metas);
    limit.Lift();
    ASSERT_FALSE(res.ok());
    EXPECT_EQ(res.error().kind(), Error::Kind::kSystem);
    EXPECT_TRUE(db->get_all_ids().empty());
    EXPECT_EQ(db->count(), 0u);
  }
  auto db = Open();
  EXPECT_TRUE(db->get_all_ids().empty());
  ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  ASSERT_TRUE(db->persist().ok());
  EXPECT_EQ(Ids(db->search(b.views[1500], 1).value()), std::vector<std::string>{"id1500"});
}

// Syncs are checked by the crash test of the same name.
TEST_F(EngineTest, PersistWithNothingNewWritesNothing) {
  auto db = Open();
  Batch b = MakeBatch(20);
  ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  ASSERT_TRUE(db->persist().ok());
  testing::Backdate(dir_.path());
  const auto before = testing::Stamps(dir_.path());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(db->persist().ok());
    ASSERT_TRUE(db->search(b.views[i], 5).ok());
  }
  EXPECT_EQ(testing::Stamps(dir_.path()), before);
}

TEST_F(EngineTest, SecondOpenFailsAndLeavesTheFirstWhole) {
  auto first = Open();
  Batch b = MakeBatch(10);
  ASSERT_TRUE(first->add(b.ids, b.views, b.metas).ok());
  auto second = Tamix::open(dir_.str(), kDim, "flat");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(), "Failed to create metadata.db");
  ASSERT_TRUE(first->persist().ok());
  EXPECT_EQ(first->search(b.views[3], 1).value()[0].id, "id3");
}

TEST_F(EngineTest, BatchSearchMatchesSingleSearch) {
  auto db = Open();
  Add(*db, 1000);
  ASSERT_TRUE(db->persist().ok());
  Batch q = MakeBatch(20, 5000);
  auto batch = db->search_batch(q.views, 10);
  ASSERT_TRUE(batch.ok());
  for (size_t i = 0; i < q.views.size(); ++i) {
    EXPECT_EQ(Scores(batch.value()[i]), Scores(db->search(q.views[i], 10).value())) << i;
  }
  EXPECT_TRUE(db->search_batch(q.views, 0).value()[3].empty());
}

TEST_F(EngineTest, QuantizationWordsWithoutAStoreFailEachOperation) {
  auto db = Open("sq8");
  Batch b = MakeBatch(1);
  EXPECT_EQ(db->add(b.ids, b.views, b.metas).error().message(),
            "Quantization enabled but quantized storage not initialized");
  EXPECT_EQ(db->search(b.views[0], 1).error().message(),
            "Product Quantization enabled but storage not initialized");
  EXPECT_EQ(db->search_batch(b.views, 1).error().message(),
            "Quantization enabled but quantized storage not initialized");
}

TEST_F(EngineTest, AutoModePrintsItsAnalysis) {
  {
    auto db = Open();
    Add(*db, 5);
  }
  ::testing::internal::CaptureStdout();
  auto db = Open("auto");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Tamix Adaptive Core active. Analyzing environment...\n"
            "Tamix Auto-Tuner: System RAM 4 GB | Vectors 5 -> Selected Mode: Flat\n");
  EXPECT_TRUE(db->search(std::vector<float>(kDim, 1.0f), 1).ok());  // no quantization flag
}

TEST_F(EngineTest, MigrationToAGraphIndexesEveryVector) {
  auto db = Open();
  Batch b = MakeBatch(300);
  ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(migrate_to_hnsw_for_testing(*db).ok());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "  -> Building HNSW Graph for 300 vectors...\n  -> HNSW Migration Complete.\n");
  for (size_t i = 0; i < 300; i += 37) {
    EXPECT_EQ(Ids(db->search(b.views[i], 1).value()), std::vector<std::string>{b.ids[i]});
  }
  ASSERT_TRUE(db->persist().ok());
  EXPECT_TRUE(std::filesystem::exists(dir_.file("hnsw.graph")));
}

}  // namespace
}  // namespace tamix
