#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "core/distance.h"
#include "core/top_k.h"
#include "storage/flat_storage.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::RandomVectors;
using testing::TempDir;
using testing::Views;

class FlatSearchTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kDim = 128;

  // A store holding n random vectors, of which the first `flushed` are readable.
  FlatStorage& Store(size_t n, size_t flushed) {
    vectors_ = RandomVectors(n, kDim);
    store_ = testing::StoreWith(dir_, kDim, vectors_, flushed);
    return *store_;
  }
  FlatStorage& Store(size_t n) { return Store(n, n); }

  TempDir dir_;
  std::unique_ptr<FlatStorage> store_;
  std::vector<std::vector<float>> vectors_;
};

std::set<Slot> Slots(const std::vector<ScoredIndex>& hits) {
  std::set<Slot> out;
  for (const auto& h : hits) out.insert(h.slot);
  return out;
}

TEST_F(FlatSearchTest, MatchesScoringEverySlot) {
  auto& s = Store(1000);  // three full chunks and a partial one
  auto query = RandomVectors(1, kDim, 99)[0];
  std::vector<ScoredIndex> expected;
  for (Slot i = 0; i < 1000; ++i) {
    float d = static_cast<float>(cos_distance(query.data(), vectors_[i].data(), kDim));
    expected.push_back({i, 1.0f - d * 0.5f});
  }
  expected = select_top_k(std::move(expected), 10);
  auto hits = s.search(query, 10);
  ASSERT_EQ(hits.size(), 10u);
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].slot, expected[i].slot);
    EXPECT_EQ(hits[i].value, expected[i].value);
  }
}

TEST_F(FlatSearchTest, IdenticalScoresOneOppositeScoresZero) {
  auto& s = Store(3);
  std::vector<float> opposite = vectors_[1];
  for (auto& x : opposite) x = -x;
  auto hits = s.search(vectors_[1], 3);
  EXPECT_EQ(hits.front().slot, 1u);
  EXPECT_NEAR(hits.front().value, 1.0f, 1e-6);
  EXPECT_NEAR(s.search(opposite, 3).back().value, 0.0f, 1e-6);
}

TEST_F(FlatSearchTest, KBeyondCountReturnsAllBestFirst) {
  auto hits = Store(300).search(vectors_[7], 1000);
  ASSERT_EQ(hits.size(), 300u);
  EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), ScoreBefore));
  EXPECT_EQ(hits.front().slot, 7u);
}

TEST_F(FlatSearchTest, WrongLengthQueryScoresEverySlotZero) {
  auto& s = Store(20);
  for (size_t len : {kDim - 1, kDim + 1, size_t{0}}) {
    std::vector<float> query(len, 1.0f);
    auto hits = s.search(query, 100);
    ASSERT_EQ(hits.size(), 20u);
    for (const auto& h : hits) EXPECT_EQ(h.value, 0.0f);
  }
}

TEST_F(FlatSearchTest, ChunkWithAnUnreadableSlotYieldsNothing) {
  auto& s = Store(300, 260);  // slots 260..299 are appended after the last flush
  EXPECT_TRUE(s.get_vector(259));
  auto hits = s.search(vectors_[0], 1000);
  ASSERT_EQ(hits.size(), 256u);
  EXPECT_EQ(*Slots(hits).rbegin(), 255u);
}

TEST_F(FlatSearchTest, NaNComponentsStayInsideTheResult) {
  auto& s = Store(600);
  std::vector<float> query(kDim, std::numeric_limits<float>::quiet_NaN());
  auto hits = s.search(query, 50);
  EXPECT_EQ(hits.size(), 50u);
  EXPECT_EQ(Slots(hits).size(), 50u);
}

}  // namespace
}  // namespace tamix
