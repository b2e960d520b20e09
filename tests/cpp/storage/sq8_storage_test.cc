#include "storage/sq8_storage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/top_k.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::HeaderCount;
using testing::RandomVectors;
using testing::ReadFile;
using testing::TempDir;
using testing::Views;

class Sq8StorageTest : public ::testing::Test {
 protected:
  Result<std::unique_ptr<Sq8Storage>> Create(uint64_t dimension,
                                             const std::vector<std::vector<float>>& training) {
    auto views = Views(training);
    return Sq8Storage::create(dir_.str(), dimension, views);
  }
  std::unique_ptr<Sq8Storage> Make(uint64_t dimension, uint32_t seed = 1) {
    auto r = Create(dimension, RandomVectors(50, dimension, seed));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string Error(uint64_t dimension, const std::vector<std::vector<float>>& training) {
    auto r = Create(dimension, training);
    return r.ok() ? "ok" : r.error().message();
  }
  static std::vector<Slot> Add(Sq8Storage& s, const std::vector<std::vector<float>>& vs) {
    auto views = Views(vs);
    return s.add(views).value();
  }
  std::string codes() const { return dir_.file("sq8_vectors.bin"); }
  std::string quantizer() const { return dir_.file("scalar_quantizer.bin"); }

  TempDir dir_;
};

// The score the search must reproduce, step by step in single precision.
float ReferenceScore(const ScalarQuantizer& q, VectorView query, std::span<const uint8_t> c) {
  float dot = 0, qq = 0, xx = 0;
  for (size_t j = 0; j < c.size(); ++j) {
    const float x = q.min()[j] + (c[j] / 255.0f) * (q.max()[j] - q.min()[j]);
    if (j < query.size()) dot += query[j] * x;
    xx += x * x;
  }
  for (float v : query) qq += v * v;
  const float nq = std::sqrt(qq), nx = std::sqrt(xx);
  return nq < 1e-10f || nx < 1e-10f ? 0.0f : dot / (nq * nx);
}

TEST_F(Sq8StorageTest, NewStoreWritesItsQuantizer) {
  auto s = Make(128);
  EXPECT_EQ(ReadFile(quantizer()), s->quantizer().image());
  EXPECT_EQ(ReadFile(quantizer()).size(), 1048u);
  EXPECT_FALSE(std::filesystem::exists(quantizer() + ".tmp"));
}

TEST_F(Sq8StorageTest, SearchBeforeAnyFlushFails) {
  auto s = Make(128);
  const auto vs = RandomVectors(3, 128, 2);
  Add(*s, vs);
  EXPECT_EQ(s->search(vs[0], 10).error().message(), "No mmap available");
}

TEST_F(Sq8StorageTest, Refusals) {
  EXPECT_EQ(Error(128, {}), "Training data required for scalar quantization");
  EXPECT_EQ(Error(128, {std::vector<float>(128), std::vector<float>(127)}),
            "Inconsistent dimensions in training data");
  EXPECT_EQ(Error(128, RandomVectors(2, 64)), "Dimension mismatch: expected 128, found 64");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));

  auto s = Make(128);
  const std::vector<float> short_vector(127);
  const VectorView batch[] = {std::vector<float>(128), short_vector};
  EXPECT_EQ(s->add(batch).error().message(), "Vector dimension 127 doesn't match expected 128");
  EXPECT_EQ(s->count(), 0u);
}

TEST_F(Sq8StorageTest, ScoresFollowTheDecodedCosine) {
  auto s = Make(300);
  const auto vs = RandomVectors(1000, 300, 3);
  Add(*s, vs);
  ASSERT_TRUE(s->flush().ok());
  for (const auto& query : RandomVectors(5, 300, 4)) {
    std::vector<ScoredIndex> want;
    for (Slot slot = 0; slot < 1000; ++slot) {
      const std::span<const uint8_t> c(s->records() + slot * 300, 300);
      want.push_back({slot, ReferenceScore(s->quantizer(), query, c)});
    }
    const std::vector<ScoredIndex> got = s->search(query, 10).value();
    want = select_top_k(want, 10);
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
      const float reference =
          ReferenceScore(s->quantizer(), query, {s->records() + got[i].slot * 300, 300});
      EXPECT_NEAR(got[i].value, reference, 1e-5f);
      EXPECT_NEAR(got[i].value, want[i].value, 1e-5f);  // only near-equal scores swap
      if (i > 0) {
        EXPECT_FALSE(ScoreBefore(got[i], got[i - 1]));
      }
    }
  }
  const auto zero = s->search(std::vector<float>(300, 0.0f), 3).value();
  ASSERT_EQ(zero.size(), 3u);
  EXPECT_EQ(zero[2].slot, 2u);
  EXPECT_EQ(zero[2].value, 0.0f);
}

// Bounds near the float limits decode to huge finite values: such records cannot be
// normalised and score 0, never NaN.
TEST_F(Sq8StorageTest, RecordsThatCannotBeNormalisedScoreZero) {
  auto training = RandomVectors(4, 128);
  training[0][5] = -3e38f;
  training[1][5] = 3e38f;
  auto s = Create(128, training).value();
  Add(*s, RandomVectors(2, 128, 5));
  ASSERT_TRUE(s->flush().ok());
  EXPECT_TRUE(std::isnan(s->norm(0)));
  const auto hits = s->search(std::vector<float>(128, 1.0f), 2).value();
  ASSERT_EQ(hits.size(), 2u);
  for (const ScoredIndex& hit : hits) EXPECT_EQ(hit.value, 0.0f);
}

TEST_F(Sq8StorageTest, AddsFlushPastTheThreshold) {
  auto s = Make(1536);
  Add(*s, RandomVectors(4915, 1536, 6));  // 7,549,440 bytes
  EXPECT_EQ(s->persisted_count(), 0u);
  Add(*s, RandomVectors(1, 1536, 7));  // 7,550,976 bytes
  EXPECT_EQ(s->persisted_count(), 4916u);
  EXPECT_EQ(HeaderCount(ReadFile(codes())), 4916u);
}

// A store without records may take a quantizer trained anew.
TEST_F(Sq8StorageTest, StoreWithoutRecordsRetrains) {
  { ASSERT_TRUE(Make(128, 1)->flush().ok()); }
  const auto first_image = ReadFile(quantizer());
  Make(128, 2);
  EXPECT_NE(ReadFile(quantizer()), first_image);
}

}  // namespace
}  // namespace tamix
