// Damaged code files and quantizer files of the two quantized stores: a clean error or a
// store whose reads stay inside the file, and nothing on disk replaced by a create that
// fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing_util::RandomVectors;
using testing_util::ReadFile;
using testing_util::SetHeaderCount;
using testing_util::TempDir;
using testing_util::Views;
using testing_util::WriteFile;

struct Sq8 {
  using Store = Sq8Storage;
  static constexpr uint64_t kDim = 128, kStride = 128;
  static constexpr const char* kCodes = "sq8_vectors.bin";
  static constexpr const char* kQuantizer = "scalar_quantizer.bin";
  static constexpr const char* kLoadError = "Failed to load scalar_quantizer.bin";
  static Result<std::unique_ptr<Store>> Create(const std::string& dir,
                                               std::span<const VectorView> training) {
    return Sq8Storage::create(dir, kDim, training);
  }
  static size_t Hits(const Store& s) {
    auto hits = s.search(std::vector<float>(kDim, 0.5f), 1000);
    return hits.ok() ? hits.value().size() : 0;
  }
};

struct Pq {
  using Store = PqStorage;
  static constexpr uint64_t kDim = 16, kStride = 2;  // m 2, d_sub 8: a small codebooks.bin
  static constexpr const char* kCodes = "quantized_vectors.bin";
  static constexpr const char* kQuantizer = "codebooks.bin";
  static constexpr const char* kLoadError = "Failed to load codebooks";
  static Result<std::unique_ptr<Store>> Create(const std::string& dir,
                                               std::span<const VectorView> training) {
    ::testing::internal::CaptureStdout();  // the training lines
    auto r = PqStorage::create(dir, training);
    ::testing::internal::GetCapturedStdout();
    return r;
  }
  static size_t Hits(const Store& s) {
    EXPECT_FALSE(s.get_codes(s.count()));
    EXPECT_FALSE(s.get_codes(std::numeric_limits<Slot>::max()));
    return s.search(std::vector<float>(kDim, 0.5f), 1000).size();
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

TYPED_TEST(QuantizedHostileTest, CodeFileTruncatedAtEveryOffset) {
  const auto& codes = this->codes_;
  ASSERT_EQ(codes.size(), 24 + 3 * TypeParam::kStride);
  for (size_t len = 0; len <= codes.size(); ++len) {
    const std::vector<uint8_t> prefix(codes.begin(), codes.begin() + len);
    auto r = this->CreateOver(prefix, this->quantizer_);
    ASSERT_TRUE(r.ok()) << len << ": " << r.error().message();
    const uint64_t whole = len < 24 ? 0 : (len - 24) / TypeParam::kStride;
    EXPECT_EQ(r.value()->count(), whole) << len;
    EXPECT_LE(TypeParam::Hits(*r.value()), whole);
    if (whole > 0) {
      EXPECT_EQ(this->QuantizerOnDisk(), this->quantizer_) << len;
    }
  }
}

TYPED_TEST(QuantizedHostileTest, AbsurdCountsAreCutToTheRecordsPresent) {
  for (uint64_t count : {uint64_t{4}, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    auto codes = this->codes_;
    SetHeaderCount(codes, count);
    auto r = this->CreateOver(codes, this->quantizer_);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value()->count(), 3u);
    EXPECT_LE(TypeParam::Hits(*r.value()), 3u);
  }
}

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

// The code file's header is checked before the quantizer could be replaced.
TYPED_TEST(QuantizedHostileTest, BadHeaderLeavesTheQuantizerAlone) {
  auto codes = this->codes_;
  SetHeaderCount(codes, 0);  // would retrain, if the header were accepted
  codes[0] = 0x00;
  auto r = this->CreateOver(codes, this->quantizer_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid magic number: expected 0x546D7851, got 0x546D7800");
  EXPECT_EQ(this->QuantizerOnDisk(), this->quantizer_);
  EXPECT_EQ(this->CodesOnDisk(), codes);
}

class PqHeaderTest : public QuantizedHostileTest<Pq> {};

// The product-quantized header is checked in full: version, data type and dimension too.
TEST_F(PqHeaderTest, EveryFieldIsChecked) {
  struct Case {
    size_t at;
    uint8_t value;
    const char* message;
  };
  for (const Case& c : {Case{4, 0x05, "Unsupported version: 5"},
                        Case{16, 0x01, "Invalid data type: expected 2, found 1"},
                        Case{6, 0x20, "Dimension mismatch: expected 16, found 32"}}) {
    auto codes = codes_;
    SetHeaderCount(codes, 0);
    codes[c.at] = c.value;
    auto r = CreateOver(codes, quantizer_);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(QuantizerOnDisk(), quantizer_);
  }
}

}  // namespace
}  // namespace tamix
