#include "storage/flat_batch_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "storage/block_dot.h"
#include "storage/cosine_bound.h"
#include "storage/cosine_score.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::RandomVectors;
using testing::TempDir;
using testing::Views;
using Vectors = std::vector<std::vector<float>>;

constexpr uint64_t kDim = 128;

// n points scattered around `centres` random centres; tight clusters crowd the top k with
// nearly equal scores.
Vectors Clustered(size_t n, size_t centres, float spread, uint32_t seed) {
  const Vectors c = RandomVectors(centres, kDim, seed);
  std::mt19937 rng(seed + 1);
  std::normal_distribution<float> noise(0.0f, spread);
  Vectors out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = c[i % centres];
    for (float& x : out[i]) x += noise(rng);
  }
  return out;
}

// Exact copies, copies scaled by powers of two (the same cosine mathematically, not in float)
// and copies one or two ulps away from a few base vectors.
Vectors NearTies(size_t copies) {
  const Vectors base = RandomVectors(6, kDim, 9);
  Vectors out;
  for (size_t i = 0; i < copies; ++i) {
    for (const auto& b : base) {
      std::vector<float> v = b;
      if (i % 3 == 1) {
        for (float& x : v) x *= std::ldexp(1.0f, static_cast<int>(i % 7) - 3);
      } else if (i % 3 == 2) {
        v[i % kDim] = std::nextafter(v[i % kDim], 2.0f * (i % 2) - 1);
      }
      out.push_back(std::move(v));
    }
  }
  return out;
}

class FlatBatchSearchTest : public ::testing::Test {
 protected:
  void Fill(Vectors vectors, size_t flushed) {
    vectors_ = std::move(vectors);
    store_ = testing::StoreWith(dir_, kDim, vectors_, flushed);
  }
  void Fill(Vectors vectors) {
    const size_t n = vectors.size();
    Fill(std::move(vectors), n);
  }

  // Every query's batch result is its single search's: the same slots in the same order
  // with bit-identical scores, whatever path the batch took.
  void ExpectSameAsSingle(uint64_t k, const LiveSlots* live = nullptr) {
    const auto views = Views(queries_);
    const auto batch = flat_search_batch(*store_, views, k, live);
    ASSERT_EQ(batch.size(), views.size());
    for (size_t q = 0; q < views.size(); ++q) {
      const auto single = store_->search(views[q], k, live);
      ASSERT_EQ(batch[q].size(), single.size()) << "query " << q << " k " << k;
      for (size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(batch[q][i].slot, single[i].slot) << "query " << q << " rank " << i;
        const float a = batch[q][i].value, b = single[i].value;
        EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << a << " vs " << b;
      }
    }
  }

  TempDir dir_;
  std::unique_ptr<FlatStorage> store_;
  Vectors vectors_, queries_;
};

TEST_F(FlatBatchSearchTest, RandomDataForSmallLargeAndExcessiveK) {
  Fill(RandomVectors(9000, kDim));  // too large to be taken whole by each block of queries
  queries_ = RandomVectors(70, kDim, 5);  // more than one block of queries
  for (uint64_t k : {1, 10, 1000, 4500, 4501, 10000}) ExpectSameAsSingle(k);
}

TEST_F(FlatBatchSearchTest, ClusteredData) {
  Fill(Clustered(6000, 12, 0.02f, 3));
  queries_ = Clustered(30, 12, 0.02f, 4);
  for (uint64_t k : {1, 10, 1000}) ExpectSameAsSingle(k);
}

TEST_F(FlatBatchSearchTest, EqualAndAlmostEqualVectors) {
  Fill(NearTies(700));
  queries_ = NearTies(4);  // each base vector and its near copies as queries
  for (uint64_t k : {1, 10, 1000}) ExpectSameAsSingle(k);
}

TEST_F(FlatBatchSearchTest, EveryBatchSizeAndOnlyLiveSlots) {
  Fill(Clustered(3000, 5, 0.05f, 6));
  LiveSlots live;
  for (Slot s = 0; s < 3000; ++s) {
    if (s % 3 != 0) live.insert(s);
  }
  for (size_t nq : {1, 2, 3, 17}) {
    queries_ = Vectors(vectors_.begin(), vectors_.begin() + static_cast<ptrdiff_t>(nq));
    ExpectSameAsSingle(10, &live);
    for (const auto& hits : flat_search_batch(*store_, Views(queries_), 50, &live)) {
      for (const ScoredIndex& h : hits) EXPECT_TRUE(live.contains(h.slot)) << h.slot;
    }
  }
}

// Zero vectors keep SimSIMD's scores (0.5 against a query, 1 for two zero vectors); norms
// the matrix products cannot carry, NaN and infinite components are scored one by one; odd
// queries take the single search. Against a query opposite the one cluster, zero vectors
// lead.
TEST_F(FlatBatchSearchTest, ZeroTinyHugeAndNonFiniteVectors) {
  Vectors v = Clustered(3000, 1, 0.5f, 8);
  const float odd[] = {0.0f, 1e-20f, 1e17f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity()};
  for (size_t i = 0; i < 40; ++i) {
    std::fill(v[i * 50].begin(), v[i * 50].end(), odd[i % 5]);
    v[i * 50 + 1][i % kDim] = odd[i % 5];
  }
  Fill(v);
  queries_ = RandomVectors(20, kDim, 7);
  queries_.push_back(v[2]);
  for (float& x : queries_.back()) x = -x;
  queries_.push_back(std::vector<float>(kDim, 0.0f));
  queries_.push_back(std::vector<float>(kDim, 1e-20f));
  queries_.push_back(v[0]);
  for (uint64_t k : {10, 1400}) ExpectSameAsSingle(k);
}

TEST_F(FlatBatchSearchTest, SkipsTheChunksASingleSearchSkips) {
  Fill(RandomVectors(1000, kDim), 700);  // chunk 2 (512..767) is partly unflushed
  queries_ = RandomVectors(30, kDim, 5);
  ExpectSameAsSingle(10);
  ExpectSameAsSingle(200);
}

TEST_F(FlatBatchSearchTest, WrongLengthQueryScoresZero) {
  Fill(RandomVectors(300, kDim));
  queries_ = RandomVectors(30, kDim, 5);
  queries_[3].resize(kDim - 1);
  ExpectSameAsSingle(5);
}

TEST_F(FlatBatchSearchTest, ZeroKOrNoQueries) {
  Fill(RandomVectors(300, kDim));
  queries_ = RandomVectors(30, kDim, 5);
  auto lists = flat_search_batch(*store_, Views(queries_), 0);
  ASSERT_EQ(lists.size(), queries_.size());
  for (const auto& l : lists) EXPECT_TRUE(l.empty());
  EXPECT_TRUE(flat_search_batch(*store_, {}, 10).empty());
}

// The candidate margin rests on this bound: the matrix product's cosine against the exact
// score's, over dimensions and data of every kind the tests above use.
TEST(CosineBoundTest, CoversTheMatrixProductAgainstTheExactScore) {
  for (size_t dim : {128, 784, 4096}) {
    Vectors rows = RandomVectors(200, dim, 11);
    const Vectors c = RandomVectors(1, dim, 12);
    for (size_t i = 0; i < 100; ++i) {
      for (size_t j = 0; j < dim; ++j) rows[i][j] = c[0][j] + 1e-3f * rows[i][j];
    }
    std::vector<float> flat, inverse, unit;
    for (const auto& r : rows) {
      flat.insert(flat.end(), r.begin(), r.end());
      double sq = 0;
      for (float x : r) sq += double{x} * x;
      inverse.push_back(static_cast<float>(1 / std::sqrt(sq)));
      for (float x : r) unit.push_back(static_cast<float>(x / std::sqrt(sq)));
    }
    std::vector<float> dots(rows.size() * rows.size());
    block_dot(unit.data(), rows.size(), dim, flat.data(), rows.size(), dim, dim, dots.data(),
              rows.size());
    double worst = 0;
    for (size_t q = 0; q < rows.size(); ++q) {
      for (size_t s = 0; s < rows.size(); ++s) {
        const float approx = dots[q * rows.size() + s] * inverse[s];
        const float exact = 2 * cosine_score(rows[q].data(), rows[s].data(), dim) - 1;
        worst = std::max(worst, std::abs(double{approx} - exact));
      }
    }
    EXPECT_LE(worst, cosine_error_bound(dim)) << "dimension " << dim;
  }
}

}  // namespace
}  // namespace tamix
