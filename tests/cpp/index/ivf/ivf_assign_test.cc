#include "index/ivf/ivf_assign.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "index/index_test_util.h"
#include "index/ivf/kmeans_kernels.h"

namespace tamix {
namespace {

using testing::Vectors;

IvfCentroids TableOf(const Vectors& rows) {
  std::vector<float> values;
  for (const auto& r : rows) values.insert(values.end(), r.begin(), r.end());
  return IvfCentroids(rows.size(), rows.empty() ? 0 : rows[0].size(), std::move(values));
}

void ExpectExactRule(const Vectors& rows, const IvfCentroids& centroids) {
  const std::vector<uint32_t> got = assign_clusters(testing::SampleOf(rows), centroids);
  ASSERT_EQ(got.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(got[i], nearest_centroid(rows[i].data(), centroids)) << "row " << i;
  }
}

// Centroids packed for one call of a kernel: tiles of `tile` centroids, or one half tile.
std::vector<float> Packed(const Vectors& cents, size_t tile) {
  const size_t dim = cents[0].size(), width = std::min(cents.size(), tile);
  std::vector<float> out(cents.size() * dim);
  for (size_t q = 0; q < cents.size(); ++q) {
    for (size_t t = 0; t < dim; ++t)
      out[(q / width) * dim * width + t * width + q % width] = cents[q][t];
  }
  return out;
}

TEST(CentroidDotsTest, EveryVariantStaysWithinItsErrorBound) {
  for (const auto* kernel : kmeans::kernel_variants()) {
    const size_t w = kernel->tile;
    for (size_t dim : {1, 15, 17, 100, 784}) {
      for (size_t width : {2 * w, w, w / 2}) {
        const Vectors rows = testing::RandomVectors(kernel->rows, dim, 3, 100.0f);
        const Vectors cents = testing::RandomVectors(width, dim, 4, 100.0f);
        const std::vector<float> tiles = Packed(cents, w);
        std::vector<const float*> ptrs;
        for (const auto& r : rows) ptrs.push_back(r.data());
        for (size_t nrows : {size_t{1}, kernel->rows}) {
          std::vector<float> out(nrows * width, NAN);
          kernel->tile_dots(ptrs.data(), nrows, tiles.data(), width, dim, out.data(), width);
          const double nu = (dim + 1) * 0x1p-24, gamma = nu / (1 - nu);
          for (size_t r = 0; r < nrows; ++r) {
            for (size_t q = 0; q < width; ++q) {
              double exact = 0, magnitude = 0;
              for (size_t t = 0; t < dim; ++t) {
                exact += double(rows[r][t]) * cents[q][t];
                magnitude += std::fabs(double(rows[r][t]) * cents[q][t]);
              }
              ASSERT_LE(std::fabs(out[r * width + q] - exact), gamma * magnitude)
                  << kernel->name << " dim " << dim << " width " << width << " row " << r
                  << " centroid " << q;
            }
          }
        }
      }
    }
  }
}

// The candidate rule, one centroid at a time.
std::vector<uint32_t> Candidates(const std::vector<float>& dots, const std::vector<float>& norms,
                                 float row_norm, float rel, float abs) {
  std::vector<float> lower;
  float least = INFINITY;
  for (size_t j = 0; j < dots.size(); ++j) {
    const float n = row_norm + norms[j], a = n - 2.0f * dots[j], m = rel * n + abs;
    if (a + m < least) least = a + m;
    lower.push_back(a - m);
  }
  std::vector<uint32_t> out;
  for (size_t j = 0; j < dots.size(); ++j) {
    if (!(lower[j] > least)) out.push_back(static_cast<uint32_t>(j));
  }
  return out;
}

TEST(CandidatesTest, EveryVariantKeepsTheCentroidsItsBoundsCannotRuleOut) {
  for (const auto* kernel : kmeans::kernel_variants()) {
    for (size_t k : {1, 7, 16, 37, 100}) {
      std::mt19937 rng(static_cast<uint32_t>(k));
      std::uniform_real_distribution<float> u(0.0f, 10.0f);
      std::vector<float> dots(k), norms(k);
      for (size_t j = 0; j < k; ++j) {
        norms[j] = 50.0f + u(rng);
        dots[j] = u(rng) / 4;
      }
      norms[k / 2] = INFINITY;               // an unbounded centroid is always kept
      if (k > 3) dots[k / 3] = dots[k - 1];  // a tie with the last
      std::vector<float> lower(k);
      std::vector<uint32_t> out(k);
      const size_t n = kernel->candidates(dots.data(), norms.data(), k, 20.0f, 0.01f, 1e-30f,
                                          lower.data(), out.data());
      out.resize(n);
      EXPECT_EQ(out, Candidates(dots, norms, 20.0f, 0.01f, 1e-30f)) << kernel->name << " k " << k;
    }
  }
}

TEST(AssignClustersTest, FollowsTheExactRuleThroughTiesAndNearTies) {
  for (size_t dim : {3, 33, 768}) {
    Vectors rows = testing::RandomVectors(300, dim, 7);
    Vectors cents(rows.begin(), rows.begin() + 37);  // rows at distance 0 from a centroid
    cents.push_back(cents[5]);                       // duplicates: the lower index wins
    cents.push_back(cents[5]);
    Vectors nudged = cents;
    for (auto& c : nudged) c[0] = std::nextafter(c[0], 2.0f);  // near ties
    cents.insert(cents.end(), nudged.begin(), nudged.end());
    for (size_t i = 0; i < rows.size(); i += 3) {  // rows midway between two centroids
      for (size_t t = 0; t < dim; ++t) rows[i][t] = (cents[i % 37][t] + cents[(i + 1) % 37][t]) / 2;
    }
    ExpectExactRule(rows, TableOf(cents));
    cents.resize(72);  // a last tile half full
    ExpectExactRule(rows, TableOf(cents));
  }
}

TEST(AssignClustersTest, NonFiniteAndHugeValuesFollowTheExactRule) {
  Vectors rows = testing::RandomVectors(40, 20, 9);
  rows[1][4] = NAN;    // every distance NaN: centroid 0
  rows[2][0] = 1e30f;  // distances overflow to inf: centroid 0
  rows[3][7] = -INFINITY;
  Vectors cents = testing::RandomVectors(18, 20, 10);
  cents[2][1] = INFINITY;  // never nearest
  cents[4][3] = NAN;
  cents[6][0] = 3e19f;  // beyond the bounded range
  ExpectExactRule(rows, TableOf(cents));
  EXPECT_EQ(assign_clusters(testing::SampleOf(rows), TableOf(cents))[1], 0u);
}

TEST(AssignClustersTest, NoCentroidsAssignsEverythingToZero) {
  const Vectors rows = testing::RandomVectors(5, 4, 1);
  EXPECT_EQ(assign_clusters(testing::SampleOf(rows), IvfCentroids{}), std::vector<uint32_t>(5, 0));
}

}  // namespace
}  // namespace tamix
