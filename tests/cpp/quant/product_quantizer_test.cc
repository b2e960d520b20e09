#include "quant/product_quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "core/file_io.h"
#include "quant_test_util.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

using quant_testing::RandomVectors;
using quant_testing::SetU64At;
using quant_testing::U64At;
using quant_testing::Views;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A quantizer of dimension d whose codebook i holds, at every index q, the unit vector
// along component (q mod d_sub) scaled by (1 + q / 256).
ProductQuantizer AxisQuantizer(uint64_t d) {
  const PqShape s = pq_shape(d).value();
  std::vector<float> c(s.m * 256 * s.d_sub, 0.0f);
  for (uint64_t i = 0; i < s.m; ++i)
    for (uint64_t q = 0; q < 256; ++q) c[(i * 256 + q) * s.d_sub + q % s.d_sub] = 1.0f + q / 256.0f;
  // Built through its image, the way a stored quantizer comes back.
  std::vector<uint8_t> image;
  auto put = [&](uint64_t v) {
    image.resize(image.size() + 8);
    std::memcpy(image.data() + image.size() - 8, &v, 8);
  };
  put(s.m), put(256), put(s.d_sub), put(s.m);
  for (uint64_t i = 0; i < s.m; ++i) {
    put(256);
    for (uint64_t q = 0; q < 256; ++q) {
      put(s.d_sub);
      const size_t at = image.size();
      image.resize(at + 4 * s.d_sub);
      std::memcpy(image.data() + at, &c[(i * 256 + q) * s.d_sub], 4 * s.d_sub);
    }
  }
  return ProductQuantizer::from_image(image, d).value();
}

TEST(PqShapeTest, ShapesByDimension) {
  const std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> shapes = {
      {384, 48, 8},   {768, 96, 8}, {1024, 128, 8}, {1536, 192, 8},
      {4096, 512, 8}, {100, 25, 4}, {132, 33, 4},   {7, 1, 7}};
  for (auto [d, m, d_sub] : shapes) {
    const PqShape s = pq_shape(d).value();
    EXPECT_EQ(s.m, m) << d;
    EXPECT_EQ(s.d_sub, d_sub) << d;
  }
  EXPECT_EQ(pq_shape(130).error().message(), "Dimension 130 must be divisible by m=32");
  EXPECT_EQ(pq_shape(18).error().message(), "Dimension 18 must be divisible by m=4");
}

TEST(ProductQuantizerTest, TrainingPrintsItsProgressAndWritesTheImage) {
  const auto training = RandomVectors(300, 1536);
  const auto views = Views(training);
  ::testing::internal::CaptureStdout();
  auto pq = ProductQuantizer::train(views);
  const std::vector<std::string> lines = Lines(::testing::internal::GetCapturedStdout());
  ASSERT_TRUE(pq.ok());
  ASSERT_EQ(lines.size(), 194u);
  EXPECT_EQ(lines.front(), "Training Product Quantizer with M=192, K=256, D_sub=8");
  EXPECT_EQ(lines.back(), "Training complete!");
  std::set<std::string> middle(lines.begin() + 1, lines.end() - 1);
  for (int i = 1; i <= 192; ++i) {
    EXPECT_EQ(middle.count("Training sub-quantizer " + std::to_string(i) + "/192"), 1u);
  }

  testing::TempDir dir;
  const std::string path = dir.file("codebooks.bin");
  ASSERT_TRUE(pq.value().save(path).ok());
  const std::vector<uint8_t> image = file_io::read_file(path, 1 << 22).value();
  ASSERT_EQ(image.size(), 1967648u);
  for (size_t at = 0; at < 6; ++at) {
    EXPECT_EQ(U64At(image, 8 * at), (std::vector<uint64_t>{192, 256, 8, 192, 256, 8}[at]));
  }
  EXPECT_EQ(ProductQuantizer::load(path, 1536).value().image(), image);
}

TEST(ProductQuantizerTest, RefusalsPrintNothing) {
  ::testing::internal::CaptureStdout();
  const auto odd = RandomVectors(2, 130);
  EXPECT_EQ(ProductQuantizer::train(Views(odd)).error().message(),
            "Dimension 130 must be divisible by m=32");
  EXPECT_EQ(ProductQuantizer::train({}).error().message(),
            "Training vectors cannot be empty or zero-dimensional");
  const std::vector<float> empty;
  const VectorView zero[] = {empty};
  EXPECT_EQ(ProductQuantizer::train(zero).error().message(),
            "Training vectors cannot be empty or zero-dimensional");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// Ten vectors for 256 centroids: every sub-vector still finds a centroid of its own
// direction.
TEST(ProductQuantizerTest, FewTrainingVectorsAreRepresentedExactly) {
  const auto training = RandomVectors(10, 7);
  ::testing::internal::CaptureStdout();
  const ProductQuantizer pq = ProductQuantizer::train(Views(training)).value();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(pq.m(), 1u);
  for (const auto& v : training) {
    uint8_t code;
    pq.encode(v, {&code, 1});
    const VectorView c = pq.centroid(0, code);
    float dot = 0;
    for (size_t t = 0; t < 7; ++t) dot += v[t] * c[t];
    EXPECT_GT(dot / (euclidean_length(v) * euclidean_length(c)), 0.9999f);
  }
}

TEST(ProductQuantizerTest, EncodeAndTableFollowTheCentroids) {
  const ProductQuantizer pq = AxisQuantizer(16);  // m 2, d_sub 8
  // Sub-vector 0 along axis 3 (codes 3, 11, ..., 251 all point there; the last wins),
  // sub-vector 1 all zeros.
  std::vector<float> x(16, 0.0f);
  x[3] = 2.0f;
  uint8_t codes[2];
  pq.encode(x, codes);
  EXPECT_EQ(codes[0], 251);
  EXPECT_EQ(codes[1], 0);

  const std::vector<float> table = pq.compute_distance_table(x);
  ASSERT_EQ(table.size(), 2u * 256);
  EXPECT_FLOAT_EQ(table[3], -(1.0f + 3 / 256.0f));  // -dot / |q_0|
  EXPECT_EQ(table[4], -0.0f);
  for (size_t j = 256; j < 512; ++j) EXPECT_EQ(table[j], 0.0f);
  EXPECT_FLOAT_EQ(pq.table_sum(table.data(), codes), table[251] + table[256]);

  // A query shorter than d is cut, never read past.
  const std::vector<float> three{0.0f, 0.0f, 0.0f, 1.0f};
  pq.encode(three, codes);
  EXPECT_EQ(codes[0], 251);
  EXPECT_EQ(codes[1], 0);
  EXPECT_EQ(pq.compute_distance_table(three)[256 + 5], 0.0f);
}

TEST(ProductQuantizerTest, DamagedImagesAreRefused) {
  const std::vector<uint8_t> image = AxisQuantizer(8).image();  // m 1, d_sub 8
  ASSERT_EQ(image.size(), ProductQuantizer::image_size({1, 8}));
  for (size_t len = 0; len < image.size(); ++len) {
    const std::vector<uint8_t> prefix(image.begin(), image.begin() + len);
    ASSERT_FALSE(ProductQuantizer::from_image(prefix, 8).ok()) << len;
  }
  // Every count field, made absurd.
  const size_t centroid_record = 8 + 4 * 8;
  for (size_t at : {size_t{0}, size_t{8}, size_t{16}, size_t{24}, size_t{32}, size_t{40},
                    size_t{40 + 100 * centroid_record}}) {
    for (uint64_t v : {uint64_t{0}, uint64_t{9}, uint64_t{1} << 62, ~uint64_t{0}}) {
      auto bad = image;
      SetU64At(bad, at, v);
      ASSERT_FALSE(ProductQuantizer::from_image(bad, 8).ok()) << at << " " << v;
    }
  }
  auto longer = image;
  longer.push_back(0);
  EXPECT_FALSE(ProductQuantizer::from_image(longer, 8).ok());
  EXPECT_FALSE(ProductQuantizer::from_image(image, 16).ok());
}

TEST(ProductQuantizerTest, LoadErrorsCarryTheContext) {
  testing::TempDir dir;
  auto missing = ProductQuantizer::load(dir.file("codebooks.bin"), 16);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "Failed to load codebooks");
  EXPECT_EQ(missing.error().chain().back(), "No such file or directory (os error 2)");

  ASSERT_TRUE(
      file_io::write_file_atomically(dir.file("codebooks.bin"), std::vector<uint8_t>(1 << 20, 0))
          .ok());
  EXPECT_EQ(ProductQuantizer::load(dir.file("codebooks.bin"), 16).error().message(),
            "Failed to load codebooks");
}

}  // namespace
}  // namespace tamix
