#include "quant/scalar_quantizer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "quant_test_util.h"

namespace tamix {
namespace {

using quant_testing::SetU64At;
using quant_testing::U64At;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

ScalarQuantizer Train(const std::vector<std::vector<float>>& vs) {
  auto views = quant_testing::Views(vs);
  return ScalarQuantizer::train(views).value();
}

uint8_t Encode1(const ScalarQuantizer& q, float x) {
  uint8_t code;
  const float in[] = {x};
  q.encode(in, {&code, 1});
  return code;
}

float Decode1(const ScalarQuantizer& q, uint8_t code) {
  float out;
  q.decode({&code, 1}, {&out, 1});
  return out;
}

TEST(ScalarQuantizerTest, EncodesByTruncationAndDecodesLinearly) {
  const ScalarQuantizer q = Train({{0.0f}, {2.0f}, {1.0f}});
  EXPECT_EQ(q.min()[0], 0.0f);
  EXPECT_EQ(q.max()[0], 2.0f);
  EXPECT_EQ(Encode1(q, 1.0f), 127);  // 127.5 truncated
  EXPECT_EQ(Encode1(q, 2.0f), 255);
  EXPECT_EQ(Encode1(q, 3.0f), 255);
  EXPECT_EQ(Encode1(q, -1.0f), 0);
  EXPECT_EQ(Encode1(q, kNaN), 0);
  EXPECT_FLOAT_EQ(Decode1(q, 127), 0.99607843f);
}

TEST(ScalarQuantizerTest, ConstantDimensionEncodesZeroAndDecodesItsValue) {
  const ScalarQuantizer q = Train({{0.5f}, {0.5f}});
  EXPECT_EQ(Encode1(q, 0.7f), 0);
  EXPECT_EQ(Decode1(q, 200), 0.5f);
}

TEST(ScalarQuantizerTest, TrainingErrors) {
  EXPECT_EQ(ScalarQuantizer::train({}).error().message(),
            "Training data required for scalar quantization");
  const std::vector<float> a(128, 1.0f), b(127, 1.0f);
  const VectorView both[] = {a, b};
  EXPECT_EQ(ScalarQuantizer::train(both).error().message(),
            "Inconsistent dimensions in training data");
}

// Bounds near ±FLT_MAX overflow the range; a dimension that only saw NaN keeps the
// initial bounds. Neither may ever decode to NaN or infinity.
TEST(ScalarQuantizerTest, UnusableRangesDecodeToAFiniteBoundOrZero) {
  const ScalarQuantizer q = Train({{-3e38f, kNaN, 1.0f}, {3e38f, kNaN, 3.0f}});
  std::vector<uint8_t> codes(3);
  const float x[] = {1e38f, 5.0f, kNaN};
  q.encode(x, codes);
  EXPECT_EQ(codes, (std::vector<uint8_t>{0, 0, 0}));
  for (int c = 0; c < 256; ++c) {
    const std::vector<uint8_t> all(3, static_cast<uint8_t>(c));
    float out[3];
    q.decode(all, out);
    EXPECT_EQ(out[0], -3e38f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_TRUE(std::isfinite(out[2]));
  }
  const float query[] = {1.0f, 1.0f, 1.0f};
  const Sq8Query prepared = q.prepare(query);
  EXPECT_EQ(prepared.weights[0], 0.0f);
  EXPECT_EQ(prepared.weights[1], 0.0f);
}

TEST(ScalarQuantizerTest, ShortInputsAreNeverReadPastTheirEnd) {
  const ScalarQuantizer q = Train({{0, 0, 0, 0}, {1, 1, 1, 1}});
  std::vector<uint8_t> codes(4, 9);
  const float two[] = {1.0f, 1.0f};
  q.encode(two, codes);
  EXPECT_EQ(codes, (std::vector<uint8_t>{255, 255, 0, 0}));
  const Sq8Query prepared = q.prepare(two);
  EXPECT_EQ(prepared.weights[3], 0.0f);
}

TEST(ScalarQuantizerTest, ImageBytes) {
  const ScalarQuantizer q = Train({{1.0f, -2.0f}, {3.0f, 4.0f}});
  const std::vector<uint8_t> image = q.image();
  ASSERT_EQ(image.size(), 24u + 8 * 2);
  EXPECT_EQ(U64At(image, 0), 2u);
  EXPECT_EQ(U64At(image, 16), 2u);
  EXPECT_EQ(U64At(image, 32), 2u);
  const std::vector<uint8_t> min_bytes(image.begin() + 8, image.begin() + 16);
  EXPECT_EQ(min_bytes, (std::vector<uint8_t>{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}));

  const auto big = quant_testing::RandomVectors(3, 128);
  const std::vector<uint8_t> image128 = Train(big).image();
  EXPECT_EQ(image128.size(), 1048u);
  EXPECT_EQ(U64At(image128, 0), 128u);
  EXPECT_EQ(ScalarQuantizer::from_image(image128, 128).value().image(), image128);
}

TEST(ScalarQuantizerTest, DamagedImagesAreRefused) {
  const std::vector<uint8_t> image = Train(quant_testing::RandomVectors(3, 16)).image();
  for (size_t len = 0; len < image.size(); ++len) {
    const std::vector<uint8_t> prefix(image.begin(), image.begin() + len);
    EXPECT_FALSE(ScalarQuantizer::from_image(prefix, 16).ok()) << len;
  }
  auto longer = image;
  longer.push_back(0);
  EXPECT_FALSE(ScalarQuantizer::from_image(longer, 16).ok());
  EXPECT_FALSE(ScalarQuantizer::from_image(image, 17).ok());
  for (size_t at : {size_t{0}, size_t{8 + 64}, size_t{16 + 128}}) {
    for (uint64_t count : {uint64_t{17}, uint64_t{1} << 62, ~uint64_t{0}}) {
      auto bad = image;
      SetU64At(bad, at, count);
      auto r = ScalarQuantizer::from_image(bad, 16);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), Error::Kind::kSerialization);
    }
  }
}

}  // namespace
}  // namespace tamix
