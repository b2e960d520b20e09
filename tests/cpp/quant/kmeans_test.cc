#include "quant/kmeans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quant/codebook.h"

namespace tamix {
namespace {

std::vector<float> Points(const std::vector<std::vector<float>>& vs) {
  std::vector<float> out;
  for (const auto& v : vs) out.insert(out.end(), v.begin(), v.end());
  return out;
}

TEST(KmeansTest, EmptyDatasetIsAnError) {
  std::mt19937_64 rng(1);
  EXPECT_EQ(kmeans({}, 0, 8, rng).error().message(), "Cannot train on empty dataset");
}

// Three distinct points of length 5, far fewer than 256: seeding still yields 256
// centroids; clusters with members end at unit length, empty ones as unscaled copies.
TEST(KmeansTest, FewPointsGiveUnitMeansAndUnscaledCopies) {
  const std::vector<float> points = Points({{5, 0}, {0, 5}, {3, 4}, {5, 0}, {0, 5}});
  for (uint64_t seed = 0; seed < 5; ++seed) {
    std::mt19937_64 rng(seed);
    const std::vector<float> c = kmeans(points, 5, 2, rng).value();
    ASSERT_EQ(c.size(), 256u * 2);
    int unit = 0, copies = 0;
    for (size_t q = 0; q < 256; ++q) {
      const float length = euclidean_length({&c[q * 2], 2});
      unit += std::fabs(length - 1.0f) < 1e-6f;
      copies += length == 5.0f;
    }
    EXPECT_EQ(unit + copies, 256) << seed;
    EXPECT_GE(unit, 1);
    // Every point is represented in direction by the codebook.
    const Codebook book(c, 2);
    for (size_t j = 0; j < 5; ++j) {
      const VectorView p(&points[j * 2], 2);
      const uint8_t q = book.nearest(p);
      const float cos =
          (p[0] * c[q * 2] + p[1] * c[q * 2 + 1]) / (5.0f * euclidean_length({&c[q * 2], 2}));
      EXPECT_GT(cos, 0.9999f);
    }
  }
}

// Weights that overflow or are NaN must not break the roulette: each seeding step still
// picks exactly one point.
TEST(KmeansTest, NonFiniteWeightsStillSeedEveryCentroid) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& points :
       {Points({{3e38f, 0}, {-3e38f, 0}, {1, 1}}), Points({{nan, 1}, {1, 1}, {2, -1}})}) {
    std::mt19937_64 rng(3);
    auto r = kmeans(points, 3, 2, rng);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().size(), 256u * 2);
  }
}

}  // namespace
}  // namespace tamix
