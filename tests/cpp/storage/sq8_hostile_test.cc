// Damaged "sq8_vectors.bin" and "scalar_quantizer.bin": a clean error or a store whose
// reads stay inside the file, and nothing on disk replaced by a create that fails.
#include <gtest/gtest.h>

#include <limits>

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

constexpr uint64_t kDim = 128;

class Sq8HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempDir source;
    {
      auto s = Sq8Storage::create(source.str(), kDim, Views(training_)).value();
      ASSERT_TRUE(s->add(Views(RandomVectors(3, kDim, 2))).ok());
    }
    codes_ = ReadFile(source.file("sq8_vectors.bin"));
    quantizer_ = ReadFile(source.file("scalar_quantizer.bin"));
  }

  // Creates a store over exactly these files.
  Result<std::unique_ptr<Sq8Storage>> CreateOver(const std::vector<uint8_t>& codes,
                                                 const std::vector<uint8_t>& quantizer) {
    WriteFile(dir_.file("sq8_vectors.bin"), codes);
    WriteFile(dir_.file("scalar_quantizer.bin"), quantizer);
    return Sq8Storage::create(dir_.str(), kDim, Views(training_));
  }
  std::vector<uint8_t> CodesOnDisk() const { return ReadFile(dir_.file("sq8_vectors.bin")); }
  std::vector<uint8_t> QuantizerOnDisk() const {
    return ReadFile(dir_.file("scalar_quantizer.bin"));
  }

  static void ExpectBounded(const Sq8Storage& s) {
    auto hits = s.search(std::vector<float>(kDim, 0.5f), 1000);
    if (hits.ok()) {
      EXPECT_LE(hits.value().size(), s.count());
    }
  }

  std::vector<std::vector<float>> training_ = RandomVectors(20, kDim, 1);
  TempDir dir_;
  std::vector<uint8_t> codes_, quantizer_;  // a store of 3 records and its quantizer
};

TEST_F(Sq8HostileTest, CodeFileTruncatedAtEveryOffset) {
  ASSERT_EQ(codes_.size(), 24 + 3 * kDim);
  for (size_t len = 0; len <= codes_.size(); ++len) {
    const std::vector<uint8_t> prefix(codes_.begin(), codes_.begin() + len);
    auto r = CreateOver(prefix, quantizer_);
    ASSERT_TRUE(r.ok()) << len << ": " << r.error().message();
    const uint64_t whole = len < 24 ? 0 : (len - 24) / kDim;
    EXPECT_EQ(r.value()->count(), whole) << len;
    ExpectBounded(*r.value());
    if (whole > 0) {
      EXPECT_EQ(QuantizerOnDisk(), quantizer_) << len;
    }
  }
}

TEST_F(Sq8HostileTest, AbsurdCountsAreCutToTheRecordsPresent) {
  for (uint64_t count : {uint64_t{4}, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    auto codes = codes_;
    SetHeaderCount(codes, count);
    auto r = CreateOver(codes, quantizer_);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value()->count(), 3u);
    ExpectBounded(*r.value());
  }
}

TEST_F(Sq8HostileTest, DamagedQuantizerWithRecordsIsAnError) {
  for (size_t len = 0; len < quantizer_.size(); ++len) {
    const std::vector<uint8_t> prefix(quantizer_.begin(), quantizer_.begin() + len);
    auto r = CreateOver(codes_, prefix);
    ASSERT_FALSE(r.ok()) << len;
    EXPECT_EQ(r.error().message(), "Failed to load scalar_quantizer.bin");
    EXPECT_EQ(CodesOnDisk(), codes_);
  }
  auto longer = quantizer_;
  longer.resize(1 << 20);
  EXPECT_FALSE(CreateOver(codes_, longer).ok());
  std::filesystem::remove(dir_.file("scalar_quantizer.bin"));
  auto missing = Sq8Storage::create(dir_.str(), kDim, Views(training_));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "Failed to load scalar_quantizer.bin");
}

// The code file's header is checked before the quantizer could be replaced.
TEST_F(Sq8HostileTest, BadHeaderLeavesTheQuantizerAlone) {
  auto codes = codes_;
  SetHeaderCount(codes, 0);  // would retrain, if the header were accepted
  codes[0] ^= 0xFF;
  auto r = CreateOver(codes, quantizer_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid magic number: expected 0x546D7851, got 0x546D78AE");
  EXPECT_EQ(QuantizerOnDisk(), quantizer_);
  EXPECT_EQ(CodesOnDisk(), codes);
}

}  // namespace
}  // namespace tamix
