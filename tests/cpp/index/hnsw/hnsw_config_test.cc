// Graph parameters and the random level.
#include "index/hnsw/hnsw_config.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "index/hnsw/hnsw_level.h"

namespace tamix {
namespace {

TEST(HnswConfigTest, DerivedFromM) {
  const HnswConfig c16 = HnswConfig::from_m(16, 200, 50);
  EXPECT_EQ(c16, HnswConfig{});
  EXPECT_EQ(std::bit_cast<uint32_t>(c16.ml), 0x3EB8AA3Bu);
  const HnswConfig c8 = HnswConfig::from_m(8, 100, 30);
  EXPECT_EQ(c8.m_max, 8u);
  EXPECT_EQ(c8.m_max0, 16u);
  EXPECT_EQ(c8.ef_construction, 100u);
  EXPECT_EQ(c8.ef_search, 30u);
  EXPECT_EQ(HnswConfig::from_m(1, 1, 1).ml, std::numeric_limits<float>::infinity());
  const HnswConfig c0 = HnswConfig::from_m(0, 1, 1);
  EXPECT_EQ(c0.ml, 0.0f);
  EXPECT_TRUE(std::signbit(c0.ml));
  EXPECT_EQ(c0.m_max0, 0u);
  EXPECT_EQ(HnswConfig::from_m(UINT64_MAX / 2 + 1, 1, 1).m_max0, UINT64_MAX);
}

TEST(HnswConfigTest, FloatToLevelSaturates) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(saturating_to_u64(nan), 0u);
  EXPECT_EQ(saturating_to_u64(-5.0f), 0u);
  EXPECT_EQ(saturating_to_u64(0.99f), 0u);
  EXPECT_EQ(saturating_to_u64(3.7f), 3u);
  EXPECT_EQ(saturating_to_u64(1e30f), UINT64_MAX);
  EXPECT_EQ(saturating_to_u64(inf), UINT64_MAX);
}

TEST(HnswConfigTest, LevelsStayWithinTheCap) {
  const float ml = HnswConfig{}.ml;
  EXPECT_EQ(level_from_draw(0, ml), 16u);           // U = 0: an infinite draw
  EXPECT_EQ(level_from_draw(0xFFFFFFFFu, ml), 0u);  // U just below 1
  EXPECT_EQ(level_from_draw(0x00000400u, ml), 5u);  // U = 2^-22: -(ln U * ml) = 5.5
  for (uint32_t w : {0u, 1u << 8, 1u << 31, 0xFFFFFFFFu}) {
    EXPECT_EQ(level_from_draw(w, std::numeric_limits<float>::infinity()), 16u) << w;
    EXPECT_EQ(level_from_draw(w, 0.0f), 0u) << w;
    EXPECT_EQ(level_from_draw(w, -0.0f), 0u) << w;
    EXPECT_EQ(level_from_draw(w, -1.0f), 0u) << w;
    EXPECT_EQ(level_from_draw(w, std::numeric_limits<float>::quiet_NaN()), 0u) << w;
  }
  for (int i = 0; i < 1000; ++i) EXPECT_LE(random_level(ml), 16u);
}

}  // namespace
}  // namespace tamix
