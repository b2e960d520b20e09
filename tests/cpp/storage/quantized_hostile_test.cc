// Damaged quantizer files of the two quantized stores: a clean error, and nothing on disk
// replaced by a create that fails.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::RandomVectors;
using testing::ReadFile;
using testing::TempDir;
using testing::Views;
using testing::WriteFile;

struct Sq8 {
  using Store = Sq8Storage;
  static constexpr uint64_t kDim = 128;
  static constexpr const char* kCodes = "sq8_vectors.bin";
  static constexpr const char* kQuantizer = "scalar_quantizer.bin";
  static constexpr const char* kLoadError = "Failed to load scalar_quantizer.bin";
  static constexpr size_t kFirstFloat = 8;  // min[0]
  static Result<std::unique_ptr<Store>> Create(const std::string& dir,
                                               std::span<const VectorView> training) {
    return Sq8Storage::create(dir, kDim, training);
  }
};

struct Pq {
  using Store = PqStorage;
  static constexpr uint64_t kDim = 16;  // m 2, d_sub 8: a small codebooks.bin
  static constexpr const char* kCodes = "quantized_vectors.bin";
  static constexpr const char* kQuantizer = "codebooks.bin";
  static constexpr const char* kLoadError = "Failed to load codebooks";
  static constexpr size_t kFirstFloat = 48;  // codebook 0, centroid 0, value 0
  static Result<std::unique_ptr<Store>> Create(const std::string& dir,
                                               std::span<const VectorView> training) {
    ::testing::internal::CaptureStdout();  // the training lines
    auto r = PqStorage::create(dir, training);
    ::testing::internal::GetCapturedStdout();
    return r;
  }
};

template <class T>
class QuantizedHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempDir source;
    {
      auto s = T::Create(source.str(), Views(training_)).value();
      ASSERT_TRUE(s->add(Views(RandomVectors(3, T::kDim, 2))).ok());
    }
    codes_ = ReadFile(source.file(T::kCodes));
    quantizer_ = ReadFile(source.file(T::kQuantizer));
  }

  // Creates a store over exactly these files.
  Result<std::unique_ptr<typename T::Store>> CreateOver(const std::vector<uint8_t>& codes,
                                                        const std::vector<uint8_t>& quantizer) {
    WriteFile(dir_.file(T::kCodes), codes);
    WriteFile(dir_.file(T::kQuantizer), quantizer);
    return T::Create(dir_.str(), Views(training_));
  }
  std::vector<uint8_t> CodesOnDisk() const { return ReadFile(dir_.file(T::kCodes)); }
  std::vector<uint8_t> QuantizerOnDisk() const { return ReadFile(dir_.file(T::kQuantizer)); }

  std::vector<std::vector<float>> training_ = RandomVectors(40, T::kDim, 1);
  TempDir dir_;
  std::vector<uint8_t> codes_, quantizer_;  // a store of 3 records and its quantizer
};

using Stores = ::testing::Types<Sq8, Pq>;
TYPED_TEST_SUITE(QuantizedHostileTest, Stores);

// With records present, a damaged or missing quantizer is an error, never a retraining.
TYPED_TEST(QuantizedHostileTest, DamagedQuantizerWithRecordsIsAnError) {
  const auto& whole = this->quantizer_;
  std::vector<std::vector<uint8_t>> damaged;
  for (size_t len = 0; len < whole.size(); len += len < 100 ? 1 : 101) {
    damaged.emplace_back(whole.begin(), whole.begin() + len);
  }
  damaged.emplace_back(whole.begin(), whole.end() - 1);
  damaged.push_back(whole);
  damaged.back().resize(1 << 20);
  damaged.push_back(whole);
  damaged.back()[1] ^= 0x01;  // the first count, 256 more
  // Values training never writes: decoding with them scores every record alike.
  for (const float bad : {NAN, INFINITY}) {
    damaged.push_back(whole);
    std::memcpy(damaged.back().data() + TypeParam::kFirstFloat, &bad, sizeof bad);
  }
  for (const auto& quantizer : damaged) {
    auto r = this->CreateOver(this->codes_, quantizer);
    ASSERT_FALSE(r.ok()) << quantizer.size();
    EXPECT_EQ(r.error().message(), TypeParam::kLoadError);
    EXPECT_EQ(this->CodesOnDisk(), this->codes_);
  }
  std::filesystem::remove(this->dir_.file(TypeParam::kQuantizer));
  auto missing = TypeParam::Create(this->dir_.str(), Views(this->training_));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), TypeParam::kLoadError);
}

}  // namespace
}  // namespace tamix
