// Failures and hostile data: nothing a failed add touched stays visible, deleted and
// unscorable vectors never take a place in a top k, and what cannot be scored is refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>

#include "engine/engine_fixture.h"
#include "engine/hit_texts.h"
#include "support/file_size_limit.h"

namespace tamix {
namespace {

TEST_F(EngineTest, AddFailingOnAFullDiskChangesNothingAndReadsGoOn) {
  Batch first = MakeBatch(100), more = MakeBatch(500, 100);
  {
    auto db = Open();
    ASSERT_TRUE(db->add(first.ids, first.views, first.metas).ok());
    ASSERT_TRUE(db->persist().ok());
    testing::FileSizeLimit limit;
    ASSERT_TRUE(limit.Limit(std::filesystem::file_size(dir_.file("vectors.bin")) + 4096));
    EXPECT_EQ(db->add(more.ids, more.views, more.metas).error().kind(), Error::Kind::kSystem);
    EXPECT_EQ(db->count(), 100u);
    ASSERT_TRUE(db->persist().ok());  // still full: nothing is left to write
    EXPECT_EQ(db->search(first.views[3], 5).value().size(), 5u);
  }
  auto db = Open();
  EXPECT_EQ(db->count(), 100u);
  ASSERT_TRUE(db->add(more.ids, more.views, more.metas).ok());
  ASSERT_TRUE(db->persist().ok());
  EXPECT_EQ(Ids(db->search(more.views[7], 1).value()), std::vector<std::string>{"id107"});
}

// A threshold commit inside add that fails must not leave the batch's ids pending: a later
// commit would give them slots that the batch's retry takes again.
TEST_F(EngineTest, FailedThresholdCommitTakesTheBatchBack) {
  Batch b = MakeBatch(1500);
  { Open(); }
  // A trigger in the file refuses one marked text, so only the first attempt fails.
  sqlite3* c = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.file("metadata.db").c_str(), &c), SQLITE_OK);
  const int created = sqlite3_exec(c,
                                   "CREATE TRIGGER refuse BEFORE INSERT ON metadata WHEN "
                                   "NEW.text LIKE '%\"refuse\"%' "
                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                   nullptr, nullptr, nullptr);
  sqlite3_close(c);
  ASSERT_EQ(created, SQLITE_OK);
  {
    auto db = Open();
    const std::string kept = b.metas[500];
    b.metas[500] = R"({"refuse": true})";
    EXPECT_EQ(db->add(b.ids, b.views, b.metas).error().message(), "refused");
    EXPECT_EQ(db->count(), 0u);
    b.metas[500] = kept;
    ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  }
  auto db = Open();
  EXPECT_EQ(db->count(), 1500u);
  EXPECT_EQ(db->get_all_ids().size(), 1500u);
  ASSERT_TRUE(db->persist().ok());
  const auto ids = Ids(db->search(b.views[500], 2).value());
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], "id500");
  EXPECT_NE(ids[1], "id500");
}

// Texts shared by many queries' hits are read once each; a failing read still fails the
// batch with the first failing hit in query order.
TEST(HitTextsTest, EachSlotIsReadOnceAndTheFirstFailingHitReports) {
  std::vector<Slot> reads;
  const ReadTexts read = [&](std::span<const Slot> slots, const auto& failed) {
    for (size_t i = 0; i < slots.size(); ++i) {
      reads.push_back(slots[i]);
      if (slots[i] == 2 || slots[i] == 9) failed(i, Error::Message("slot " + std::to_string(slots[i])));
    }
  };
  const std::vector<std::vector<ScoredIndex>> scored = {{{4, 0.f}, {9, 0.f}}, {{2, 0.f}, {4, 0.f}}};
  EXPECT_EQ(check_hit_texts(scored, read).error().message(), "slot 9");
  EXPECT_EQ(reads, (std::vector<Slot>{2, 4, 9}));
  EXPECT_TRUE(check_hit_texts({{{4, 0.f}}}, read).ok());
}

TEST_F(EngineTest, DeletedVectorsTakeNoPlaceInTheTopK) {
  auto db = Open();
  Batch b = MakeBatch(200);
  ASSERT_TRUE(db->add(b.ids, b.views, b.metas).ok());
  std::vector<std::string> half;
  for (size_t i = 0; i < 200; i += 2) half.push_back(b.ids[i]);
  db->delete_ids(half);
  ASSERT_TRUE(db->persist().ok());
  EXPECT_EQ(db->search(b.views[0], 10).value().size(), 10u);
  const auto lists = db->search_batch(b.views, 10).value();
  for (const auto& list : lists) EXPECT_EQ(list.size(), 10u);

  db->delete_ids(std::vector<std::string>{"id1"});
  ASSERT_TRUE(db->add({&b.ids[1], 1}, {&b.views[1], 1}, {&b.metas[1], 1}).ok());
  ASSERT_TRUE(db->persist().ok());
  EXPECT_EQ(Ids(db->search(b.views[1], 1).value()), std::vector<std::string>{"id1"});
}

TEST_F(EngineTest, VectorsThatCannotBeNormalisedAreRefused) {
  auto db = Open();
  for (float x : {1e-25f, 1e20f, 3e38f}) {
    Batch b = MakeBatch(2);
    std::fill(b.vecs[1].begin(), b.vecs[1].end(), x);
    auto res = db->add(b.ids, b.views, b.metas);
    EXPECT_EQ(res.error().message(), "Vector 1 cannot be normalized (squared norm out of range)");
    EXPECT_EQ(db->check_query(b.views[1]).error().message(),
              "Query cannot be normalized (squared norm out of range)");
    EXPECT_EQ(db->check_queries(b.views).error().message(),
              "Query 1 cannot be normalized (squared norm out of range)");
  }
  Batch zero = MakeBatch(1);
  std::fill(zero.vecs[0].begin(), zero.vecs[0].end(), 0.0f);
  EXPECT_TRUE(db->add(zero.ids, zero.views, zero.metas).ok());
  EXPECT_TRUE(db->check_query(zero.views[0]).ok());
}

TEST_F(EngineTest, DamagedRecordThatCannotBeNormalisedNeverOutranks) {
  Batch b = MakeBatch(3);
  { ASSERT_TRUE(Open()->add(b.ids, b.views, b.metas).ok()); }
  {
    std::fstream f(dir_.file("vectors.bin"), std::ios::in | std::ios::out | std::ios::binary);
    std::vector<float> huge(kDim, 1e20f);
    f.seekp(24 + 1 * kDim * sizeof(float));
    f.write(reinterpret_cast<const char*>(huge.data()), kDim * sizeof(float));
  }
  auto db = Open();
  for (const auto& v : {b.views[0], b.views[2]}) {
    const auto hits = db->search(v, 3).value();
    EXPECT_EQ(Ids(hits), (std::vector<std::string>{v.data() == b.views[0].data() ? "id0" : "id2",
                                                   v.data() == b.views[0].data() ? "id2" : "id0"}));
  }
}

}  // namespace
}  // namespace tamix
