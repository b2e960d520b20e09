// find_nearest_centroid: cosine similarity, ties to the later centroid.
#include "quant/codebook.h"

#include <gtest/gtest.h>

#include <limits>

#include "quant_test_util.h"

namespace tamix {
namespace {

constexpr size_t kDim = 4;

// 256 centroids, each its own direction in the first two components and of length 1.
std::vector<float> Fan() {
  std::vector<float> c(256 * kDim, 0.0f);
  for (size_t q = 0; q < 256; ++q) {
    c[q * kDim] = std::cos(0.01f * q);
    c[q * kDim + 1] = std::sin(0.01f * q);
  }
  return c;
}

void Set(std::vector<float>& c, size_t q, std::vector<float> value) {
  std::copy(value.begin(), value.end(), c.begin() + q * kDim);
}

TEST(CodebookTest, EqualCentroidsGoToTheLaterOne) {
  std::vector<float> c(256 * kDim, 0.0f);
  for (size_t q = 0; q < 256; ++q) Set(c, q, {-1.0f, 0.0f, 0.0f, 0.0f});
  Set(c, 3, {0.0f, 2.0f, 0.0f, 0.0f});
  Set(c, 7, {0.0f, 2.0f, 0.0f, 0.0f});
  EXPECT_EQ(Codebook(c, kDim).nearest(std::vector<float>{0.0f, 1.0f, 0.0f, 0.0f}), 7);
}

TEST(CodebookTest, ShortVectorsAndShortCentroids) {
  const std::vector<float> tiny(256 * kDim, 1e-12f);
  const Codebook all_short(tiny, kDim);
  EXPECT_EQ(all_short.nearest(std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}), 255);
  EXPECT_EQ(all_short.nearest(std::vector<float>{1e-11f, 0.0f, 0.0f, 0.0f}), 0);
  EXPECT_EQ(Codebook(Fan(), kDim).nearest(std::vector<float>(kDim, 0.0f)), 0);

  // A short centroid counts as similarity -1, as an opposite direction does.
  std::vector<float> c(256 * kDim, 0.0f);
  for (size_t q = 0; q < 256; ++q) Set(c, q, {-2.0f, 0.0f, 0.0f, 0.0f});
  Set(c, 255, {0.0f, 0.0f, 0.0f, 0.0f});
  Set(c, 100, {-1.0f, -0.1f, 0.0f, 0.0f});
  EXPECT_EQ(Codebook(c, kDim).nearest(std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}), 100);
  Set(c, 100, {-2.0f, 0.0f, 0.0f, 0.0f});
  EXPECT_EQ(Codebook(c, kDim).nearest(std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}), 255);
}

TEST(CodebookTest, NonFiniteInputsNeverWinAndNeverReadPastTheEnd) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  auto c = Fan();
  Set(c, 0, {kNaN, 0.0f, 0.0f, 0.0f});
  Set(c, 100, {std::numeric_limits<float>::infinity(), 0.0f, 0.0f, 0.0f});
  const Codebook book(c, kDim);
  EXPECT_EQ(book.nearest(std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}), 1);
  EXPECT_EQ(book.nearest(std::vector<float>{kNaN, 1.0f, 0.0f, 0.0f}), 0);
  // One float of four: the rest count as absent, not as whatever lies beyond.
  const std::vector<float> one{1.0f};
  EXPECT_EQ(book.nearest(one), 1);
  float dots[256];
  book.dots(one, dots);
  EXPECT_FLOAT_EQ(dots[50], std::cos(0.5f));
}

}  // namespace
}  // namespace tamix
