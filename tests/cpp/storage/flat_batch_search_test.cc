#include "storage/flat_batch_search.h"

#include <gtest/gtest.h>

#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing_util::RandomVectors;
using testing_util::TempDir;
using testing_util::Views;

constexpr uint64_t kDim = 128;

class FlatBatchSearchTest : public ::testing::Test {
 protected:
  // n random vectors, the first `flushed` readable; queries are 30 fresh vectors.
  void Fill(size_t n, size_t flushed) {
    vectors_ = RandomVectors(n, kDim);
    store_ = testing_util::StoreWith(dir_, kDim, vectors_, flushed);
    queries_ = RandomVectors(30, kDim, 5);
  }

  // Every query's batch result equals its single search: the same scores in the same
  // order, and the same slots wherever a score is not tied with another.
  void ExpectSameAsSingle(uint64_t k) {
    auto views = Views(queries_);
    auto batch = flat_search_batch(*store_, views, k);
    ASSERT_EQ(batch.size(), views.size());
    for (size_t q = 0; q < views.size(); ++q) {
      auto single = store_->search(views[q], k);
      ASSERT_EQ(batch[q].size(), single.size()) << "query " << q << " k " << k;
      for (size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(batch[q][i].value, single[i].value);
        if (!Tied(single, i)) {
          EXPECT_EQ(batch[q][i].slot, single[i].slot);
        }
      }
    }
  }
  static bool Tied(const std::vector<ScoredIndex>& hits, size_t i) {
    return (i > 0 && hits[i - 1].value == hits[i].value) ||
           (i + 1 < hits.size() && hits[i + 1].value == hits[i].value) ||
           i + 1 == hits.size();  // the cut may have chosen among equal scores
  }

  TempDir dir_;
  std::unique_ptr<FlatStorage> store_;
  std::vector<std::vector<float>> vectors_, queries_;
};

TEST_F(FlatBatchSearchTest, EqualsSingleSearchForSmallAndLargeK) {
  Fill(3000, 3000);
  for (uint64_t k : {1, 10, 256, 1024, 1025, 5000}) ExpectSameAsSingle(k);
}

TEST_F(FlatBatchSearchTest, SkipsTheChunksASingleSearchSkips) {
  Fill(1000, 700);  // chunk 2 (512..767) is partly unflushed
  ExpectSameAsSingle(10);
  ExpectSameAsSingle(1000);
}

TEST_F(FlatBatchSearchTest, WrongLengthQueryScoresZero) {
  Fill(300, 300);
  queries_[3].resize(kDim - 1);
  ExpectSameAsSingle(5);
}

TEST_F(FlatBatchSearchTest, ZeroKOrNoQueries) {
  Fill(300, 300);
  auto views = Views(queries_);
  auto lists = flat_search_batch(*store_, views, 0);
  ASSERT_EQ(lists.size(), views.size());
  for (const auto& l : lists) EXPECT_TRUE(l.empty());
  EXPECT_TRUE(flat_search_batch(*store_, {}, 10).empty());
}

}  // namespace
}  // namespace tamix
