#include "storage/pq_storage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/top_k.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::RandomVectors;
using testing::ReadFile;
using testing::TempDir;
using testing::Views;

class PqStorageTest : public ::testing::Test {
 protected:
  // Creates a store; what training prints goes to printed_.
  Result<std::unique_ptr<PqStorage>> Create(const std::vector<std::vector<float>>& training) {
    ::testing::internal::CaptureStdout();
    auto r = PqStorage::create(dir_.str(), Views(training));
    printed_ = ::testing::internal::GetCapturedStdout();
    return r;
  }
  std::unique_ptr<PqStorage> Make(uint64_t d, uint32_t seed = 1) {
    auto r = Create(RandomVectors(300, d, seed));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string Error(const std::vector<std::vector<float>>& training) {
    auto r = Create(training);
    return r.ok() ? "ok" : r.error().message();
  }
  std::string codes() const { return dir_.file("quantized_vectors.bin"); }
  std::string codebooks() const { return dir_.file("codebooks.bin"); }

  TempDir dir_;
  std::string printed_;
};

// The score the search must reproduce, step by step in single precision.
float ReferenceScore(const ProductQuantizer& pq, VectorView query, const uint8_t* codes) {
  float sum = 0;
  for (uint64_t i = 0; i < pq.m(); ++i) {
    const VectorView q = query.subspan(i * pq.d_sub(), pq.d_sub());
    float qq = 0, dot = 0;
    for (size_t t = 0; t < q.size(); ++t) qq += q[t] * q[t];
    const float n = std::sqrt(qq);
    const VectorView c = pq.centroid(i, codes[i]);
    for (size_t t = 0; t < q.size(); ++t) dot += q[t] * c[t];
    sum += n < 1e-10f ? 0.0f : -dot / n;
  }
  return -sum / static_cast<float>(pq.m());
}

TEST_F(PqStorageTest, NewStoreWritesItsCodebooks) {
  auto s = Make(1536);
  EXPECT_EQ(ReadFile(codebooks()).size(), 1967648u);
  EXPECT_EQ(s->code_size(), 192u);
}

TEST_F(PqStorageTest, CodesAreReadableAfterFlush) {
  auto s = Make(128);
  ASSERT_TRUE(s->add(Views(RandomVectors(3, 128, 2))).ok());
  EXPECT_FALSE(s->get_codes(0));
  ASSERT_TRUE(s->flush().ok());
  EXPECT_EQ(s->get_codes(2)->size(), 16u);
  EXPECT_FALSE(s->get_codes(3));
}

TEST_F(PqStorageTest, ScoresFollowTheDistanceTable) {
  auto s = Make(100);  // m 25, d_sub 4
  const auto vs = RandomVectors(700, 100, 3);
  ASSERT_TRUE(s->add(Views(vs)).ok());
  ASSERT_TRUE(s->flush().ok());
  const ProductQuantizer& pq = s->quantizer();
  for (const auto& query : RandomVectors(5, 100, 4)) {
    std::vector<ScoredIndex> want;
    for (Slot slot = 0; slot < 700; ++slot) {
      want.push_back({slot, ReferenceScore(pq, query, s->get_codes(slot)->data())});
    }
    want = select_top_k(want, 10);
    const auto got = s->search(query, 10);
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
      EXPECT_NEAR(got[i].value, ReferenceScore(pq, query, s->get_codes(got[i].slot)->data()),
                  1e-5f);
      EXPECT_NEAR(got[i].value, want[i].value, 1e-5f);
    }
  }
  for (const ScoredIndex& hit : s->search(std::vector<float>(100, 0.0f), 5)) {
    EXPECT_EQ(hit.value, 0.0f);
  }
}

// A unit centroid whose direction no other centroid of its codebook shares.
VectorView UniqueUnitCentroid(const ProductQuantizer& pq, uint64_t i) {
  auto cos = [&](VectorView a, VectorView b) {
    float dot = 0;
    for (size_t t = 0; t < a.size(); ++t) dot += a[t] * b[t];
    return dot / (euclidean_length(a) * euclidean_length(b));
  };
  for (uint64_t q = 0; q < 256; ++q) {
    const VectorView c = pq.centroid(i, q);
    if (std::fabs(euclidean_length(c) - 1.0f) > 1e-6f) continue;
    bool unique = true;
    for (uint64_t o = 0; o < 256 && unique; ++o) {
      unique = o == q || cos(c, pq.centroid(i, o)) < 0.999f;
    }
    if (unique) return c;
  }
  return {};
}

// A vector built from unit centroids, each scaled, is its own best match with score 1.
TEST_F(PqStorageTest, VectorOfUnitCentroidsScoresOne) {
  auto s = Make(64);
  const ProductQuantizer& pq = s->quantizer();
  std::vector<float> x;
  for (uint64_t i = 0; i < pq.m(); ++i) {
    for (float v : UniqueUnitCentroid(pq, i)) x.push_back(v * (1.0f + i));
  }
  ASSERT_EQ(x.size(), 64u);
  ASSERT_TRUE(s->add(Views({x})).ok());
  ASSERT_TRUE(s->flush().ok());
  EXPECT_NEAR(s->search(x, 1).at(0).value, 1.0f, 1e-5f);
}

TEST_F(PqStorageTest, Refusals) {
  EXPECT_EQ(Error({}), "Training vectors cannot be empty or zero-dimensional");
  EXPECT_EQ(Error(RandomVectors(2, 130)), "Dimension 130 must be divisible by m=32");
  EXPECT_EQ(printed_, "");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

// A store without records trains anew; one with records trains nothing.
TEST_F(PqStorageTest, OnlyAStoreWithoutRecordsTrains) {
  { Make(128, 1); }
  EXPECT_NE(printed_.find("Training complete!"), std::string::npos);
  {
    auto s = Make(128, 2);
    EXPECT_NE(printed_, "");
    ASSERT_TRUE(s->add(Views(RandomVectors(2, 128))).ok());
  }
  Make(128, 3);
  EXPECT_EQ(printed_, "");
}

}  // namespace
}  // namespace tamix
