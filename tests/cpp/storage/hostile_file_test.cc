// Damaged or hostile "vectors.bin" files: every one must give a clean error or a store
// whose reads stay inside the file, and opening must never change the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "core/file_io.h"
#include "storage/flat_storage.h"
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
constexpr uint64_t kStride = kDim * sizeof(float);

class HostileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempDir source;
    auto s = FlatStorage::open(source.str(), kDim).value();
    auto vs = RandomVectors(3, kDim);
    auto views = Views(vs);
    ASSERT_TRUE(s->add(views).ok());
    ASSERT_TRUE(s->flush().ok());
    valid_ = ReadFile(source.file("vectors.bin"));
  }

  // Opens a store over exactly these bytes; checks the file is left as it was.
  Result<std::unique_ptr<FlatStorage>> OpenBytes(const std::vector<uint8_t>& bytes) {
    WriteFile(path(), bytes);
    auto r = FlatStorage::open(dir_.str(), kDim);
    EXPECT_EQ(ReadFile(path()), bytes);
    return r;
  }
  std::string path() const { return dir_.file("vectors.bin"); }

  // Every read the store offers stays within what it claims.
  static void ExpectBounded(const FlatStorage& s) {
    const std::vector<float> query(kDim, 0.5f);
    EXPECT_LE(s.search(query, 1000).size(), s.count());
    EXPECT_FALSE(s.get_vector(s.count()));
    EXPECT_FALSE(s.get_vector(std::numeric_limits<Slot>::max()));
    if (s.count() > 0) {
      EXPECT_TRUE(s.get_vector(s.count() - 1));
    }
  }

  TempDir dir_;
  std::vector<uint8_t> valid_;  // header + 3 records
};

TEST_F(HostileFileTest, TruncatedAtEveryOffset) {
  ASSERT_EQ(valid_.size(), 24 + 3 * kStride);
  for (size_t len = 0; len <= valid_.size(); ++len) {
    std::vector<uint8_t> prefix(valid_.begin(), valid_.begin() + len);
    const uint64_t writes = file_io::write_calls();
    {
      auto r = OpenBytes(prefix);
      ASSERT_TRUE(r.ok()) << "length " << len << ": " << r.error().message();
      const uint64_t whole = len < 24 ? 0 : (len - 24) / kStride;
      EXPECT_EQ(r.value()->count(), whole) << "length " << len;
      ExpectBounded(*r.value());
    }
    EXPECT_EQ(file_io::write_calls(), writes) << "a clean store wrote on drop";
    EXPECT_EQ(ReadFile(path()), prefix);
  }
}

TEST_F(HostileFileTest, AbsurdCountsAreCutToTheRecordsPresent) {
  for (uint64_t count : {uint64_t{4}, uint64_t{1} << 62, (~uint64_t{0}) / kStride + 1,
                         std::numeric_limits<uint64_t>::max()}) {
    auto bytes = valid_;
    SetHeaderCount(bytes, count);
    auto r = OpenBytes(bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value()->count(), 3u) << count;
    ExpectBounded(*r.value());
  }
}

TEST_F(HostileFileTest, AbsurdCountOverHeaderOnly) {
  std::vector<uint8_t> bytes(valid_.begin(), valid_.begin() + 24);
  SetHeaderCount(bytes, std::numeric_limits<uint64_t>::max());
  auto r = OpenBytes(bytes);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()->count(), 0u);
  ExpectBounded(*r.value());
}

TEST_F(HostileFileTest, BadHeadersAreRefusedWithTheirMessage) {
  auto bad_magic = valid_;
  bad_magic[0] ^= 0xFF;
  EXPECT_EQ(OpenBytes(bad_magic).error().message(),
            "Invalid magic number: expected 0x546D7851, got 0x546D78AE");
  auto bad_version = valid_;
  bad_version[4] = 5;
  EXPECT_EQ(OpenBytes(bad_version).error().message(), "Unsupported version: 5");
  auto bad_dim = valid_;
  bad_dim[6] = bad_dim[7] = 0;
  EXPECT_EQ(OpenBytes(bad_dim).error().message(), "Invalid dimension: 0");
  EXPECT_EQ(OpenBytes(std::vector<uint8_t>(4096, 0xFF)).error().message(),
            "Invalid magic number: expected 0x546D7851, got 0xFFFFFFFF");
}

TEST_F(HostileFileTest, DirectoryInPlaceOfTheFile) {
  std::filesystem::create_directory(path());
  auto r = FlatStorage::open(dir_.str(), kDim);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Failed to open vectors.bin");
}

}  // namespace
}  // namespace tamix
