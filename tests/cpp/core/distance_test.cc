#include "core/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace tamix {
namespace {

std::vector<float> Random(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

#if defined(__x86_64__) || defined(__aarch64__)
TEST(DistanceTest, ChosenKernelIsSimd) { EXPECT_STRNE(distance_kernel_name(), "serial"); }
#endif

TEST(DistanceTest, SimdAgreesWithSerial) {
  std::mt19937 rng(7);
  for (size_t n : {1, 7, 15, 16, 17, 128, 1000, 1536, 4096}) {
    for (int trial = 0; trial < 20; ++trial) {
      auto a = Random(n, rng), b = Random(n, rng);
      EXPECT_NEAR(cos_distance(a.data(), b.data(), n), cos_distance_serial(a.data(), b.data(), n),
                  1e-6)
          << "n=" << n;
      // A sum of n squares in single precision: the serial order drifts ~n·eps relative.
      const double l2 = l2sq_distance_serial(a.data(), b.data(), n);
      EXPECT_NEAR(l2sq_distance(a.data(), b.data(), n), l2, 1e-5 * std::max(1.0, l2)) << "n=" << n;
      EXPECT_NEAR(dot_product(a.data(), b.data(), n), dot_product_serial(a.data(), b.data(), n),
                  1e-5 * std::max(1.0, static_cast<double>(n) / 16))
          << "n=" << n;
    }
  }
}

// A grouped kernel must give each vector the single call's value bit for bit: graph
// searches mix both, and an exact search's scores and order must not depend on grouping.
template <class Grouped, class Single>
void ExpectGroupedEqualsSingle(Grouped grouped, Single single) {
  std::mt19937 rng(11);
  for (size_t n : {0, 1, 15, 16, 17, 128, 768, 1000}) {
    const auto a = Random(n, rng);
    std::vector<std::vector<float>> rows;
    std::vector<const float*> b;
    for (int i = 0; i < 9; ++i) rows.push_back(Random(n, rng));
    // Long lists too: a chunk's worth and more.
    for (int i = 9; i < 300; ++i) rows.push_back(rows[i % 9]);
    // A zero record, a NaN and squares that underflow or overflow take the special cases.
    rows[3].assign(n, 0.0f);
    if (n > 0) rows[5][0] = std::nanf("");
    for (float& x : rows[6]) x *= 1e-30f;
    for (float& x : rows[7]) x *= 1e30f;
    for (const auto& row : rows) b.push_back(row.data());
    for (size_t count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 17, 256, 300}) {
      std::vector<double> out(count + 1, -7.0);
      grouped(a.data(), b.data(), count, n, out.data());
      for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(std::bit_cast<uint64_t>(out[i]), std::bit_cast<uint64_t>(single(a.data(), b[i], n)))
            << "n=" << n << " count=" << count;
      }
      EXPECT_EQ(out[count], -7.0);  // nothing written past count
    }
  }
}

TEST(DistanceTest, GroupedDotsEqualSingleCalls) {
  ExpectGroupedEqualsSingle(dot_products, dot_product);
}

TEST(DistanceTest, GroupedCosinesEqualSingleCalls) {
  for (bool zero_query : {false, true}) {
    auto grouped = [&](const float* a, const float* const* b, size_t count, size_t n, double* out) {
      std::vector<float> zero(n, 0.0f);
      std::vector<double> factors;
      for (size_t i = 0; i < count; ++i) factors.push_back(cos_factor(b[i], n));
      cos_distances(zero_query ? zero.data() : a, b, factors.data(), count, n, out);
    };
    auto single = [&](const float* a, const float* b, size_t n) {
      std::vector<float> zero(n, 0.0f);
      return cos_distance(zero_query ? zero.data() : a, b, n);
    };
    ExpectGroupedEqualsSingle(grouped, single);
  }
}

}  // namespace
}  // namespace tamix
