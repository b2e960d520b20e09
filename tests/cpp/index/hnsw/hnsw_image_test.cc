// The graph image: exact bytes, round trips, decode errors and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "index/distance_sources.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/hnsw_test_util.h"

namespace tamix {
namespace {

using testing::ClusteredVectors;
using testing::ImageBuilder;
using testing::Range;
using testing::TestStore;

constexpr uint64_t kDim = 128;

std::string DecodeError(const std::vector<uint8_t>& bytes) {
  auto r = HnswIndex::deserialize(bytes);
  return r.ok() ? "ok" : r.error().message();
}

std::vector<HnswNode> SortedNodes(const HnswIndex& index) {
  std::vector<HnswNode> nodes = index.nodes();
  std::sort(nodes.begin(), nodes.end(), [](auto& a, auto& b) { return a.id < b.id; });
  return nodes;
}

// Three nodes stored out of slot order; 4 is named in a list but is no node.
std::vector<uint8_t> SmallImage() {
  return ImageBuilder()
      .u64(3)
      .node(9, 1, {{2, 7}, {7}})
      .node(2, 0, {{9, 4}})
      .node(7, 1, {{9, 2}, {9}})
      .tail(9, 1)
      .bytes();
}

TEST(HnswImageTest, EmptyGraphIs62Bytes) {
  const std::vector<uint8_t> expected = ImageBuilder().u64(0).tail(std::nullopt, 0).bytes();
  ASSERT_EQ(expected.size(), 62u);
  EXPECT_EQ(HnswIndex(HnswConfig{}).serialize(), expected);
}

TEST(HnswImageTest, OneNodeGraphIs110Bytes) {
  TestStore t(ClusteredVectors(6, kDim, 2, 1), kDim);
  HnswConfig c;
  c.ml = 0.0f;  // level 0
  HnswIndex index(c);
  index.insert(5, HalvedCosineFamily{t.flat()});
  const std::vector<uint8_t> expected =
      ImageBuilder().u64(1).node(5, 0, {{}}).tail(5, 0, c).bytes();
  ASSERT_EQ(expected.size(), 110u);
  EXPECT_EQ(index.serialize(), expected);
}

TEST(HnswImageTest, RoundTripKeepsNodesListsAndTop) {
  auto index = HnswIndex::deserialize(SmallImage()).value();
  EXPECT_EQ(index->node_count(), 3u);
  EXPECT_EQ(index->node(2)->neighbors, (std::vector<std::vector<Slot>>{{9, 4}}));
  EXPECT_FALSE(index->node(4));
  auto again = HnswIndex::deserialize(index->serialize()).value();
  EXPECT_EQ(SortedNodes(*again), SortedNodes(*index));
  EXPECT_EQ(again->entry_point(), Slot{9});
  EXPECT_EQ(again->max_level(), 1u);
  EXPECT_EQ(again->config(), HnswConfig{});
}

TEST(HnswImageTest, GapsAreSlotsUpToTheHighestThatAreNoNode) {
  EXPECT_FALSE(HnswIndex(HnswConfig{}).gaps());
  const auto gaps = HnswIndex::deserialize(SmallImage()).value()->gaps();
  ASSERT_TRUE(gaps);
  EXPECT_EQ(std::tuple(gaps->first, gaps->count, gaps->highest), std::tuple(0u, 7u, 9u));
  const std::vector<uint8_t> prefix =
      ImageBuilder().u64(2).node(1, 0, {{0}}).node(0, 0, {{1}}).tail(0, 0).bytes();
  EXPECT_FALSE(HnswIndex::deserialize(prefix).value()->gaps());
}

TEST(HnswImageTest, BuiltGraphRoundTripsByteForByte) {
  TestStore t(ClusteredVectors(300, kDim, 10, 2), kDim);
  HnswIndex index(HnswConfig::from_m(4, 20, 10));
  index.insert_many(Range(300), HalvedCosineFamily{t.flat()});
  const std::vector<uint8_t> image = index.serialize();
  auto loaded = HnswIndex::deserialize(image).value();
  EXPECT_EQ(loaded->nodes(), index.nodes());
  EXPECT_EQ(loaded->serialize(), image);
  EXPECT_EQ(loaded->generation(), 0u);
}

TEST(HnswImageTest, DecodeErrorsHaveTheDecodersText) {
  std::vector<uint8_t> image = SmallImage();
  for (size_t len = 0; len < image.size(); ++len) {
    ASSERT_EQ(DecodeError({image.begin(), image.begin() + len}), "io error: unexpected end of file")
        << "length " << len;
  }
  std::vector<uint8_t> bad_tag = ImageBuilder().u64(0).tail(std::nullopt, 0).bytes();
  bad_tag[8] = 2;
  EXPECT_EQ(DecodeError(bad_tag), "tag for enum is not valid, found 2");
  std::vector<uint8_t> bad_bool = image;
  bad_bool.back() = 7;
  EXPECT_EQ(DecodeError(bad_bool), "invalid u8 while decoding bool, expected 0 or 1, found 7");
}

TEST(HnswImageTest, TrailingBytesAndRepeatedKeys) {
  std::vector<uint8_t> image =
      ImageBuilder().u64(2).node(3, 0, {{1}}).node(3, 0, {{2}}).tail(3, 0).bytes();
  image.insert(image.end(), {1, 2, 3});
  auto index = HnswIndex::deserialize(image).value();
  EXPECT_EQ(index->node_count(), 1u);
  EXPECT_EQ(index->node(3)->neighbors[0], std::vector<Slot>{2});
}

TEST(HnswImageTest, SlotLimitDropsUncommittedNodesAndReferences) {
  const std::vector<uint8_t> image = ImageBuilder()
                                         .u64(4)
                                         .node(0, 0, {{1, 2, 3}})
                                         .node(1, 1, {{0, 3}, {3}})
                                         .node(2, 0, {{0}})
                                         .node(3, 2, {{0, 1}, {1}, {}})
                                         .tail(3, 2)
                                         .bytes();
  auto index = HnswIndex::deserialize(image, 2).value();
  EXPECT_EQ(SortedNodes(*index), (std::vector<HnswNode>{{0, 0, {{1}}}, {1, 1, {{0}, {}}}}));
  EXPECT_EQ(index->entry_point(), Slot{1});  // the most lists among those left
  EXPECT_EQ(index->max_level(), 1u);
  EXPECT_EQ(index->generation(), 1u);  // differs from the file: persist writes it again
  EXPECT_EQ(HnswIndex::deserialize(image, 4).value()->generation(), 0u);
}

TEST(HnswImageTest, HostileImagesNeverCrash) {
  // Counts far beyond the data.
  for (uint64_t huge : {uint64_t{1} << 40, UINT64_MAX}) {
    EXPECT_EQ(DecodeError(ImageBuilder().u64(huge).bytes()), "io error: unexpected end of file");
    EXPECT_EQ(DecodeError(ImageBuilder().u64(1).u64(0).u64(0).u64(0).u64(huge).bytes()),
              "io error: unexpected end of file");
    EXPECT_EQ(DecodeError(ImageBuilder().u64(1).u64(0).u64(0).u64(0).u64(1).u64(huge).bytes()),
              "io error: unexpected end of file");
  }
  // Random bytes, and valid images with bytes flipped.
  std::mt19937 rng(11);
  const std::vector<uint8_t> valid = SmallImage();
  TestStore t(ClusteredVectors(10, kDim, 2, 3), kDim);
  int loaded = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<uint8_t> bytes = valid;
    if (trial % 2 == 0) {
      bytes.resize(rng() % 200);
      for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    } else {
      for (int i = 0; i < 3; ++i) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    }
    auto r = HnswIndex::deserialize(bytes, rng() % 16);
    if (!r.ok()) continue;
    ++loaded;
    r.value()->search(HalvedCosineOfQuery(t.flat(), t.vectors[0]), 5);
    r.value()->insert(rng() % 10, HalvedCosineFamily{t.flat()});
    HnswIndex::deserialize(r.value()->serialize()).value();
  }
  EXPECT_GT(loaded, 200);  // the damage reached the graph code, not only the decoder
}

TEST(HnswImageTest, HugeMaxLevelDoesNotSlowQueries) {
  const std::vector<uint8_t> image =
      ImageBuilder().u64(2).node(0, 0, {{1}}).node(1, 0, {{0}}).tail(0, UINT64_MAX).bytes();
  TestStore t(ClusteredVectors(2, kDim, 2, 4), kDim);
  auto index = HnswIndex::deserialize(image).value();
  EXPECT_EQ(index->search(HalvedCosineOfQuery(t.flat(), t.vectors[1]), 1)[0].slot, 1u);
  EXPECT_EQ(index->max_level(), UINT64_MAX);
}

TEST(HnswImageTest, InsertionSkipsListsANodeDoesNotHave) {
  // Node 0 claims level 3 but has one list, and every descent starts at it.
  const std::vector<uint8_t> image = ImageBuilder().u64(1).node(0, 3, {{}}).tail(0, 3).bytes();
  TestStore t(ClusteredVectors(20, kDim, 2, 5), kDim);
  auto index = HnswIndex::deserialize(image).value();
  for (Slot s = 1; s < 20; ++s) index->insert(s, HalvedCosineFamily{t.flat()});
  EXPECT_EQ(index->node(0)->neighbors.size(), 1u);
  EXPECT_EQ(index->search(HalvedCosineOfQuery(t.flat(), t.vectors[7]), 1)[0].slot, 7u);
}

TEST(HnswImageTest, LimitsNoGraphCanWorkWithAreRefused) {
  struct Case {
    uint64_t m, m_max, m_max0;
    float ml;
    const char* message;
  };
  const float ml_of_two = 1.0f / std::log(2.0f);
  for (const Case& c : {Case{16, 0, 0, 50.0f, "invalid configuration: m_max 0"},
                        Case{16, 16, 0, 0.36f, "invalid configuration: m_max0 0"},
                        Case{1, 1, 2, 0.36f, "invalid configuration: m 1"},
                        Case{16, 16, 32, 0.0f, "invalid configuration: ml 0"},
                        Case{16, 16, 32, NAN, "invalid configuration: ml nan"},
                        Case{16, 16, 32, 1.5f, "invalid configuration: ml 1.5"}}) {
    HnswConfig config;
    config.m = c.m;
    config.m_max = c.m_max;
    config.m_max0 = c.m_max0;
    config.ml = c.ml;
    EXPECT_EQ(DecodeError(ImageBuilder().u64(0).tail(std::nullopt, 0, config).bytes()), c.message);
  }
  // m = 2 gives the largest ml allowed; lists longer than the limits are still kept.
  const HnswConfig two = HnswConfig::from_m(2, 10, 10);
  EXPECT_EQ(two.ml, ml_of_two);
  const std::vector<uint8_t> image =
      ImageBuilder().u64(1).node(0, 0, {{1, 2, 3, 4, 5}}).tail(0, 0, two).bytes();
  EXPECT_EQ(HnswIndex::deserialize(image).value()->node(0)->neighbors[0].size(), 5u);
}

}  // namespace
}  // namespace tamix
