#include "core/top_k.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace tamix {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<ScoredIndex> Scored(std::vector<float> scores) {
  std::vector<ScoredIndex> out;
  for (size_t i = 0; i < scores.size(); ++i) out.push_back({i, scores[i]});
  return out;
}

std::set<Slot> Slots(const std::vector<ScoredIndex>& list) {
  std::set<Slot> out;
  for (const auto& e : list) out.insert(e.slot);
  return out;
}

// Best first, every entry from the input, no entry twice.
void ExpectWellFormed(const std::vector<ScoredIndex>& out, size_t input_size, size_t k) {
  EXPECT_EQ(out.size(), std::min(input_size, k));
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end(), ScoreBefore));
  EXPECT_EQ(Slots(out).size(), out.size());
  for (const auto& e : out) EXPECT_LT(e.slot, input_size);
}

TEST(TopKTest, KeepsTheBestBestFirst) {
  auto out = select_top_k(Scored({0.9f, 0.5f, 0.9f, 0.1f}), 2);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(Slots(out), (std::set<Slot>{0, 2}));
  EXPECT_EQ(out[0].value, 0.9f);
}

TEST(TopKTest, ZeroKOrEmptyListGivesNothing) {
  EXPECT_TRUE(select_top_k(Scored({0.3f, 0.2f}), 0).empty());
  EXPECT_TRUE(select_top_k({}, 5).empty());
}

TEST(TopKTest, KBeyondListSortsEverything) {
  auto out = select_top_k(Scored({0.1f, 0.7f, 0.4f}), 100);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].slot, 1u);
  EXPECT_EQ(out[1].slot, 2u);
  EXPECT_EQ(out[2].slot, 0u);
}

TEST(TopKTest, NaNScoresGoLast) {
  auto out = select_top_k(Scored({kNaN, 0.2f, kNaN, 0.8f, kNaN}), 3);
  ExpectWellFormed(out, 5, 3);
  EXPECT_EQ(out[0].slot, 3u);
  EXPECT_EQ(out[1].slot, 1u);
  EXPECT_TRUE(std::isnan(out[2].value));
}

TEST(TopKTest, AllNaNStaysInsideTheList) {
  std::vector<float> scores(1000, kNaN);
  ExpectWellFormed(select_top_k(Scored(scores), 10), 1000, 10);
  ExpectWellFormed(select_top_k(Scored(scores), 5000), 1000, 5000);
}

TEST(TopKTest, ManyTiesAndInfinitiesStayInsideTheList) {
  std::vector<float> scores(5000, 0.5f);
  for (size_t i = 0; i < scores.size(); i += 7) scores[i] = kNaN;
  const float inf = std::numeric_limits<float>::infinity();
  for (size_t i = 3; i < scores.size(); i += 11) scores[i] = -inf;
  scores[4999] = inf;
  auto out = select_top_k(Scored(scores), 300);
  ExpectWellFormed(out, scores.size(), 300);
  EXPECT_EQ(out[0].slot, 4999u);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].value, 0.5f);
}

TEST(TopKTest, ScoreBeforeIsAStrictOrderWithNaNLast) {
  ScoredIndex nan{0, kNaN}, low{1, -1.0f}, high{2, 1.0f};
  EXPECT_FALSE(ScoreBefore(nan, nan));
  EXPECT_TRUE(ScoreBefore(low, nan));
  EXPECT_FALSE(ScoreBefore(nan, low));
  EXPECT_TRUE(ScoreBefore(high, low));
  EXPECT_FALSE(ScoreBefore(high, high));
}

}  // namespace
}  // namespace tamix
