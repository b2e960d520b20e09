// The layer search and its four distance sources.
#include <gtest/gtest.h>

#include <cfloat>
#include <set>

#include "core/distance.h"
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

std::vector<float> Scaled(const std::vector<float>& v, float by) {
  std::vector<float> out(v);
  for (float& x : out) x *= by;
  return out;
}

TEST(LayerSearchTest, ResultsAreNonEmptyAscendingBoundedAndDistinct) {
  TestStore t(ClusteredVectors(500, kDim, 10, 1), kDim);
  HnswIndex index(HnswConfig::from_m(4, 32, 10));
  index.insert_many(Range(500), HalvedCosineFamily{t.flat()});
  const auto query = ClusteredVectors(1, kDim, 10, 2)[0];
  for (uint64_t ef : {0, 1, 7, 50, 10000}) {
    for (Slot entry : {0, 123, 499, 777}) {
      for (uint64_t layer : {0, 1, 40}) {
        const auto w = index.search_layer(entry, ef, layer, HalvedCosineOfQuery(t.flat(), query));
        ASSERT_FALSE(w.empty());
        EXPECT_LE(w.size(), std::max<uint64_t>(ef, 1));
        std::set<Slot> seen;
        for (size_t i = 0; i < w.size(); ++i) {
          EXPECT_TRUE(seen.insert(w[i].slot).second);
          if (i > 0) {
            EXPECT_LE(w[i - 1].value, w[i].value);
          }
        }
      }
    }
  }
}

TEST(LayerSearchTest, EveryReachableNodeWhenEfIsLarge) {
  // 0 - 1 - 2 in a chain; 3 is no node; 5 lists nothing on layer 1.
  auto index = HnswIndex::deserialize(ImageBuilder()
                                          .u64(4)
                                          .node(0, 0, {{1}})
                                          .node(1, 0, {{0, 2}})
                                          .node(2, 0, {{1}})
                                          .node(5, 0, {{0}})
                                          .tail(0, 0)
                                          .bytes())
                   .value();
  TestStore t(ClusteredVectors(6, kDim, 2, 3), kDim);
  const HalvedCosineOfQuery source(t.flat(), t.vectors[2]);
  EXPECT_EQ(index->search_layer(0, 100, 0, source).size(), 3u);
  EXPECT_EQ(index->search_layer(0, 1, 0, source).size(), 1u);
  const auto alone = index->search_layer(3, 100, 0, source);
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].slot, 3u);
  EXPECT_EQ(alone[0].value, source(3));
  EXPECT_EQ(index->search_layer(5, 100, 1, source).size(), 1u);
}

TEST(LayerSearchTest, CosineSourcesAtTheirEnds) {
  std::vector<std::vector<float>> vs = ClusteredVectors(3, kDim, 2, 4);
  vs[1] = Scaled(vs[0], 3.0f);
  vs[2] = Scaled(vs[0], -2.0f);
  TestStore t(vs, kDim);
  const ExactCosineOfStored exact(t.flat(), 0);
  const HalvedCosineOfStored halved(t.flat(), 0);
  const HalvedCosineOfQuery query(t.flat(), vs[0]);
  EXPECT_NEAR(exact(1), 0.0f, 1e-6);
  EXPECT_NEAR(exact(2), 2.0f, 1e-6);
  EXPECT_NEAR(halved(1), 0.0f, 1e-6);
  EXPECT_NEAR(halved(2), 1.0f, 1e-6);
  EXPECT_NEAR(query(2), 1.0f, 1e-6);
  // Missing vectors.
  EXPECT_EQ(exact(3), 1.0f);
  EXPECT_EQ(ExactCosineOfStored(t.flat(), 9)(0), 1.0f);
  EXPECT_EQ(halved(3), FLT_MAX);
  EXPECT_EQ(HalvedCosineOfStored(t.flat(), 9)(0), FLT_MAX);
  EXPECT_EQ(query(3), FLT_MAX);
  // A query of another length.
  const std::vector<float> short_query(kDim - 1, 1.0f);
  EXPECT_EQ(HalvedCosineOfQuery(t.flat(), short_query)(1), 1.0f);
  EXPECT_EQ(HalvedCosineOfQuery(t.flat(), short_query)(3), FLT_MAX);
}

TEST(LayerSearchTest, HalvedCosineAgreesWithTheCosineKernel) {
  TestStore t(ClusteredVectors(50, kDim, 5, 5), kDim);
  const auto query = ClusteredVectors(1, kDim, 5, 6)[0];
  const HalvedCosineOfQuery source(t.flat(), query);
  for (Slot s = 0; s < 50; ++s) {
    const float d = static_cast<float>(cos_distance(query.data(), t.vectors[s].data(), kDim));
    EXPECT_NEAR(source(s), (d * 0.5f - 1.0f) + 1.0f, 1e-6) << s;
  }
}

// Insertion keeps each link's distance instead of computing it again from the other end.
TEST(LayerSearchTest, InsertionDistancesAreSymmetric) {
  TestStore t(ClusteredVectors(40, kDim, 4, 7), kDim);
  const ExactCosineFamily exact{t.flat()};
  const HalvedCosineFamily halved{t.flat()};
  for (Slot a = 0; a < 41; ++a) {
    for (Slot b = 0; b < 41; b += 3) {
      EXPECT_EQ(exact.source(a)(b), exact.source(b)(a)) << a << " " << b;
      EXPECT_EQ(halved.source(a)(b), halved.source(b)(a)) << a << " " << b;
    }
  }
}

TEST(LayerSearchTest, ProductQuantizedSource) {
  const uint8_t codes[] = {0, 1, 2, 3, 255, 255, 255, 255};  // two slots, m = 4
  std::vector<float> table(4 * 256, 0.0f);
  for (int j = 0; j < 4; ++j) {
    table[j * 256 + j] = static_cast<float>(j + 1);  // code j of slot 0
    table[j * 256 + 255] = -1.0f;                    // every code of slot 1
  }
  const ProductQuantizedSource source(PqCodes{codes, 4, 2}, table);
  EXPECT_EQ(source(0), 10.0f / 4 + 1.0f);
  EXPECT_EQ(source(1), -4.0f / 4 + 1.0f);
  EXPECT_EQ(source(2), FLT_MAX);
  const std::vector<float> short_table(3 * 256, 0.0f);
  EXPECT_EQ(ProductQuantizedSource(PqCodes{codes, 4, 2}, short_table)(0), FLT_MAX);
}

}  // namespace
}  // namespace tamix
