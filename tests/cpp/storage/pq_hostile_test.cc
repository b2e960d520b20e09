// Damaged "quantized_vectors.bin" and "codebooks.bin": a clean error or a store whose
// reads stay inside the file, and nothing on disk replaced by a create that fails.
#include <gtest/gtest.h>

#include <limits>

#include "storage/pq_storage.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing_util::RandomVectors;
using testing_util::ReadFile;
using testing_util::SetHeaderCount;
using testing_util::TempDir;
using testing_util::Views;
using testing_util::WriteFile;

constexpr uint64_t kDim = 16;  // m 2, d_sub 8: a small codebooks.bin
constexpr uint64_t kStride = 2;

// Runs f with the training lines it prints captured and dropped.
template <class F>
auto Quiet(F&& f) {
  ::testing::internal::CaptureStdout();
  auto r = f();
  ::testing::internal::GetCapturedStdout();
  return r;
}

class PqHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempDir source;
    {
      auto s = Quiet([&] { return PqStorage::create(source.str(), Views(training_)); }).value();
      ASSERT_TRUE(s->add(Views(RandomVectors(3, kDim, 2))).ok());
    }
    codes_ = ReadFile(source.file("quantized_vectors.bin"));
    codebooks_ = ReadFile(source.file("codebooks.bin"));
  }

  // Creates a store over exactly these files.
  Result<std::unique_ptr<PqStorage>> CreateOver(const std::vector<uint8_t>& codes,
                                                const std::vector<uint8_t>& codebooks) {
    WriteFile(dir_.file("quantized_vectors.bin"), codes);
    WriteFile(dir_.file("codebooks.bin"), codebooks);
    return Quiet([&] { return PqStorage::create(dir_.str(), Views(training_)); });
  }
  std::vector<uint8_t> CodesOnDisk() const { return ReadFile(dir_.file("quantized_vectors.bin")); }
  std::vector<uint8_t> CodebooksOnDisk() const { return ReadFile(dir_.file("codebooks.bin")); }

  static void ExpectBounded(const PqStorage& s) {
    EXPECT_LE(s.search(std::vector<float>(kDim, 0.5f), 1000).size(), s.count());
    EXPECT_FALSE(s.get_codes(s.count()));
    EXPECT_FALSE(s.get_codes(std::numeric_limits<Slot>::max()));
  }

  std::vector<std::vector<float>> training_ = RandomVectors(40, kDim, 1);
  TempDir dir_;
  std::vector<uint8_t> codes_, codebooks_;  // a store of 3 records and its codebooks
};

TEST_F(PqHostileTest, CodeFileTruncatedAtEveryOffset) {
  ASSERT_EQ(codes_.size(), 24 + 3 * kStride);
  for (size_t len = 0; len <= codes_.size(); ++len) {
    const std::vector<uint8_t> prefix(codes_.begin(), codes_.begin() + len);
    auto r = CreateOver(prefix, codebooks_);
    ASSERT_TRUE(r.ok()) << len << ": " << r.error().message();
    const uint64_t whole = len < 24 ? 0 : (len - 24) / kStride;
    EXPECT_EQ(r.value()->count(), whole) << len;
    ExpectBounded(*r.value());
  }
}

TEST_F(PqHostileTest, AbsurdCountsAreCutToTheRecordsPresent) {
  for (uint64_t count : {uint64_t{4}, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    auto codes = codes_;
    SetHeaderCount(codes, count);
    auto r = CreateOver(codes, codebooks_);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value()->count(), 3u);
    ExpectBounded(*r.value());
  }
}

TEST_F(PqHostileTest, DamagedCodebooksWithRecordsAreAnError) {
  std::vector<size_t> lengths;
  for (size_t len = 0; len < codebooks_.size(); len += len < 100 ? 1 : 101) lengths.push_back(len);
  lengths.push_back(codebooks_.size() - 1);
  for (size_t len : lengths) {
    const std::vector<uint8_t> prefix(codebooks_.begin(), codebooks_.begin() + len);
    auto r = CreateOver(codes_, prefix);
    ASSERT_FALSE(r.ok()) << len;
    EXPECT_EQ(r.error().message(), "Failed to load codebooks");
    EXPECT_EQ(CodesOnDisk(), codes_);
  }
  auto bad_count = codebooks_;
  bad_count[24] = 3;  // number of codebooks
  EXPECT_FALSE(CreateOver(codes_, bad_count).ok());
}

// The header is checked in full, and before the codebooks could be replaced.
TEST_F(PqHostileTest, BadHeadersLeaveTheCodebooksAlone) {
  struct Case {
    size_t at;
    uint8_t value;
    const char* message;
  };
  for (const Case& c : {Case{0, 0x00, "Invalid magic number: expected 0x546D7851, got 0x546D7800"},
                        Case{4, 0x05, "Unsupported version: 5"},
                        Case{16, 0x01, "Invalid data type: expected 2, found 1"},
                        Case{6, 0x20, "Dimension mismatch: expected 16, found 32"}}) {
    auto codes = codes_;
    SetHeaderCount(codes, 0);  // would retrain, if the header were accepted
    codes[c.at] = c.value;
    auto r = CreateOver(codes, codebooks_);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(CodebooksOnDisk(), codebooks_);
    EXPECT_EQ(CodesOnDisk(), codes);
  }
}

}  // namespace
}  // namespace tamix
