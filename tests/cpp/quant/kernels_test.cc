// Every SIMD variant against plain loops: exact where the kernel keeps the summation
// order, within single-precision rounding where it sums in lanes.
#include "quant/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quant/codebook.h"
#include "quant_test_util.h"

namespace tamix::quant {
namespace {

struct Layout {
  std::vector<float> by_component, scale, shortness, penalty;
  CentroidLayout view(size_t dim) const {
    return {by_component.data(), scale.data(), shortness.data(), penalty.data(), dim};
  }
};

Layout RandomLayout(size_t dim, uint32_t seed) {
  auto c = quant_testing::RandomVectors(kCentroids, dim, seed);
  Layout l{std::vector<float>(dim * kCentroids), std::vector<float>(kCentroids),
           std::vector<float>(kCentroids, 0.0f), std::vector<float>(kCentroids, 0.0f)};
  for (size_t q = 0; q < kCentroids; ++q) {
    for (size_t t = 0; t < dim; ++t) l.by_component[t * kCentroids + q] = c[q][t];
    l.scale[q] = 1.0f / euclidean_length(c[q]);
  }
  l.shortness[5] = 1.0f;
  l.scale[5] = 0.0f;
  l.penalty[9] = -std::numeric_limits<float>::infinity();
  return l;
}

TEST(KernelsTest, WeightedCodeSumsAgreeAtEveryLength) {
  const auto w = quant_testing::RandomVectors(1, 1600, 2)[0];
  std::vector<uint8_t> codes(7 * 1600);
  for (size_t j = 0; j < codes.size(); ++j) codes[j] = static_cast<uint8_t>(j * 37 + 11);
  for (const Kernels* k : kernel_variants()) {
    for (size_t n : {0, 1, 7, 15, 16, 17, 63, 64, 65, 100, 768, 1536, 1600}) {
      float out[7];
      k->weighted_code_sums(w.data(), codes.data(), 1600, n, 7, out);  // four, then one by one
      for (size_t r = 0; r < 7; ++r) {
        double want = 0, magnitude = 0;
        for (size_t j = 0; j < n; ++j) {
          want += double(w[j]) * codes[r * 1600 + j];
          magnitude += std::fabs(double(w[j]) * codes[r * 1600 + j]);
        }
        EXPECT_NEAR(out[r], want, 1e-6 * magnitude + 1e-6) << k->name << " n=" << n << " r=" << r;
      }
    }
  }
}

TEST(KernelsTest, CentroidDotsAreExactInIndexOrder) {
  for (size_t dim : {1, 4, 7, 8}) {
    const Layout l = RandomLayout(dim, 5);
    const auto v = quant_testing::RandomVectors(1, dim, 6)[0];
    for (const Kernels* k : kernel_variants()) {
      float out[kCentroids];
      k->centroid_dots(v.data(), l.view(dim), out);
      for (size_t q = 0; q < kCentroids; ++q) {
        float want = 0;
        for (size_t t = 0; t < dim; ++t) want += v[t] * l.by_component[t * kCentroids + q];
        ASSERT_EQ(out[q], want) << k->name << " dim=" << dim << " q=" << q;
      }
    }
  }
}

TEST(KernelsTest, NearestAgreesWithThePlainRule) {
  const size_t dim = 8;
  const Layout l = RandomLayout(dim, 7);
  for (const auto& v : quant_testing::RandomVectors(300, dim, 8)) {
    const float norm = euclidean_length(v);
    size_t want = 0;
    float best = -std::numeric_limits<float>::infinity();
    for (size_t q = 0; q < kCentroids; ++q) {
      float dot = 0;
      for (size_t t = 0; t < dim; ++t) dot += v[t] * l.by_component[t * kCentroids + q];
      const float sim = dot * l.scale[q] + l.shortness[q] * -norm + l.penalty[q];
      if (sim >= best) best = sim, want = q;
    }
    for (const Kernels* k : kernel_variants()) {
      EXPECT_EQ(k->nearest(v.data(), norm, l.view(dim)), want) << k->name;
    }
  }
}

TEST(KernelsTest, TableSumsAgree) {
  const auto table = quant_testing::RandomVectors(1, 97 * kCentroids, 9)[0];
  std::vector<uint8_t> codes(3 * 97);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 91 + 3);
  for (const Kernels* k : kernel_variants()) {
    for (size_t m : {1, 3, 4, 8, 16, 25, 96, 97}) {
      float out[3];
      k->table_sums(table.data(), codes.data(), m, 3, out);
      for (size_t r = 0; r < 3; ++r) {
        float want = 0;
        for (size_t i = 0; i < m; ++i) want += table[i * kCentroids + codes[r * m + i]];
        EXPECT_NEAR(out[r], want, 1e-4) << k->name << " m=" << m;
      }
    }
  }
}

}  // namespace
}  // namespace tamix::quant
