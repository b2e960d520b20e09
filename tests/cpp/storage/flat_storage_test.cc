#include "storage/flat_storage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "core/file_header.h"
#include "storage/storage_test_util.h"

namespace tamix {
namespace {

using testing::HeaderCount;
using testing::RandomVectors;
using testing::ReadFile;
using testing::TempDir;
using testing::Views;
using testing::WriteFile;

class FlatStorageTest : public ::testing::Test {
 protected:
  std::unique_ptr<FlatStorage> Open(uint64_t dimension) {
    auto r = FlatStorage::open(dir_.str(), dimension);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string OpenError(uint64_t dimension) {
    auto r = FlatStorage::open(dir_.str(), dimension);
    return r.ok() ? "ok" : r.error().message();
  }
  std::vector<Slot> Add(FlatStorage& s, const std::vector<std::vector<float>>& vs) {
    auto views = Views(vs);
    return s.add(views).value();
  }
  std::vector<uint8_t> File() const { return ReadFile(path()); }
  std::string path() const { return dir_.file("vectors.bin"); }

  TempDir dir_;
};

bool SameVector(std::optional<VectorView> got, const std::vector<float>& want) {
  return got && got->size() == want.size() &&
         std::memcmp(got->data(), want.data(), want.size() * sizeof(float)) == 0;
}

TEST_F(FlatStorageTest, RecordsAreReadableOnlyAfterFlush) {
  auto s = Open(128);
  auto vs = RandomVectors(3, 128);
  Add(*s, vs);
  EXPECT_FALSE(s->get_vector(0));
  ASSERT_TRUE(s->flush().ok());
  EXPECT_TRUE(SameVector(s->get_vector(2), vs[2]));
  EXPECT_FALSE(s->get_vector(3));
}

TEST_F(FlatStorageTest, WrongLengthAppendsNothing) {
  auto s = Open(128);
  auto vs = RandomVectors(3, 128);
  vs[2].pop_back();
  auto views = Views(vs);
  auto r = s->add(views);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Vector 2 dimension mismatch: expected 128, got 127");
  EXPECT_EQ(s->count(), 0u);
  EXPECT_EQ(File().size(), 24u);
}

TEST_F(FlatStorageTest, ReopenRestoresCountAndVectors) {
  auto vs = RandomVectors(5, 256);
  {
    auto s = Open(256);
    Add(*s, vs);
  }  // drop flushes
  auto s = Open(256);
  EXPECT_EQ(s->count(), 5u);
  EXPECT_EQ(s->persisted_count(), 5u);
  EXPECT_TRUE(SameVector(s->get_vector(4), vs[4]));
  EXPECT_EQ(Add(*s, RandomVectors(1, 256)), (std::vector<Slot>{5}));
}

TEST_F(FlatStorageTest, FailedSecondOpenDoesNotDisturbALiveStore) {
  auto s = Open(128);
  auto vs = RandomVectors(4, 128);
  Add(*s, vs);
  EXPECT_NE(OpenError(256), "ok");
  ASSERT_TRUE(s->flush().ok());
  EXPECT_TRUE(SameVector(s->get_vector(3), vs[3]));
  EXPECT_EQ(HeaderCount(File()), 4u);
}

TEST_F(FlatStorageTest, UnopenableFileCarriesContext) {
  auto r = FlatStorage::open(dir_.file("no/such/dir"), 128);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Failed to open vectors.bin");
  EXPECT_EQ(r.error().chain().back(), "No such file or directory (os error 2)");
}

TEST_F(FlatStorageTest, DirectoryInPlaceOfTheFile) {
  std::filesystem::create_directory(path());
  EXPECT_EQ(OpenError(128), "Failed to open vectors.bin");
}

TEST_F(FlatStorageTest, ShortFileOpensEmptyAndIsUntouchedUntilWritten) {
  const std::vector<uint8_t> junk = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  WriteFile(path(), junk);
  { EXPECT_EQ(Open(128)->count(), 0u); }
  EXPECT_EQ(File(), junk);

  auto vs = RandomVectors(2, 128);
  {
    auto s = Open(128);
    Add(*s, vs);
    auto file = File();  // the header went down before the records
    EXPECT_TRUE(VectorFileHeader::validate(std::span<const uint8_t, 24>(file.data(), 24)).ok());
  }
  auto s = Open(128);
  EXPECT_EQ(s->count(), 2u);
  EXPECT_TRUE(SameVector(s->get_vector(1), vs[1]));
}

TEST_F(FlatStorageTest, StaleTailBytesAreOverwrittenInPlace) {
  auto first = RandomVectors(2, 128, 1);
  { Add(*Open(128), first); }
  auto file = File();
  file.resize(file.size() + 700, 0xEE);  // an unflushed record and a half from a crash
  WriteFile(path(), file);

  auto s = Open(128);
  EXPECT_EQ(s->count(), 2u);
  auto second = RandomVectors(1, 128, 2);
  Add(*s, second);
  ASSERT_TRUE(s->flush().ok());
  EXPECT_TRUE(SameVector(s->get_vector(1), first[1]));
  EXPECT_TRUE(SameVector(s->get_vector(2), second[0]));
}

}  // namespace
}  // namespace tamix
