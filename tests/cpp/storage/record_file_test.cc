#include "storage/record_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "storage/storage_test_util.h"
#include "support/file_size_limit.h"

namespace tamix {
namespace {

using testing::HeaderCount;
using testing::ReadFile;
using testing::TempDir;

constexpr uint64_t kStride = 512;

// Write failures come from RLIMIT_FSIZE: a write past the limit fails with EFBIG.
class RecordFileTest : public ::testing::Test {
 protected:
  void LimitFileSize(rlim_t bytes) { ASSERT_TRUE(limit_.Limit(bytes)); }
  void Unlimit() { limit_.Lift(); }

  std::unique_ptr<RecordFile> Open(RecordLayout layout = {128, kStride, DataType::kRaw}) {
    return RecordFile::open(path(), layout, {}, "Failed to open test.bin").value();
  }
  // n records whose bytes all equal `tag`.
  Result<Slot> Append(RecordFile& f, size_t n, uint8_t tag) {
    return f.append(n, [tag](size_t, std::span<uint8_t> r) { std::fill(r.begin(), r.end(), tag); });
  }
  static bool Holds(const RecordFile& f, Slot slot, uint8_t tag) {
    auto r = f.record(slot);
    return r && std::all_of(r->begin(), r->end(), [tag](uint8_t b) { return b == tag; });
  }
  std::string path() const { return dir_.file("test.bin"); }

  TempDir dir_;
  testing::FileSizeLimit limit_;
};

TEST_F(RecordFileTest, HeaderNamesLayoutNotStride) {
  auto f = Open({1536, 192, DataType::kPq});
  ASSERT_TRUE(Append(*f, 2, 7).ok());
  ASSERT_TRUE(f->flush().ok());
  auto bytes = ReadFile(path());
  EXPECT_EQ(bytes.size(), 24u + 2 * 192);
  EXPECT_EQ(bytes[6] | bytes[7] << 8, 1536);
  EXPECT_EQ(bytes[16], 2);
  EXPECT_TRUE(Holds(*f, 1, 7));
}

TEST_F(RecordFileTest, WriteErrorMidBatchLeavesCountAndLaterSlotsIntact) {
  auto f = Open();
  ASSERT_TRUE(Append(*f, 2, 1).ok());
  LimitFileSize(24 + 2 * kStride + 4096);
  const size_t over_buffer = RecordFile::kBufferCapacity / kStride + 100;
  EXPECT_FALSE(Append(*f, over_buffer, 2).ok());
  EXPECT_EQ(f->count(), 2u);

  Unlimit();
  EXPECT_EQ(Append(*f, 1, 3).value(), 2u);
  ASSERT_TRUE(f->flush().ok());
  EXPECT_EQ(f->readable_count(), 3u);
  EXPECT_TRUE(Holds(*f, 1, 1));
  EXPECT_TRUE(Holds(*f, 2, 3));
}

TEST_F(RecordFileTest, FinalWriteErrorDropsTheWholeBatch) {
  auto f = Open();
  ASSERT_TRUE(Append(*f, 1, 4).ok());
  LimitFileSize(24);
  EXPECT_FALSE(Append(*f, 3, 5).ok());
  EXPECT_EQ(f->count(), 1u);

  Unlimit();
  EXPECT_EQ(Append(*f, 1, 6).value(), 1u);
  ASSERT_TRUE(f->flush().ok());
  EXPECT_EQ(HeaderCount(ReadFile(path())), 2u);
  EXPECT_TRUE(Holds(*f, 1, 6));
}

TEST_F(RecordFileTest, ForgottenRecordsAreOverwrittenAndUncounted) {
  { ASSERT_TRUE(Append(*Open(), 4, 9).ok()); }
  auto f = Open();
  f->forget_from(2);
  EXPECT_EQ(f->readable_count(), 2u);
  EXPECT_EQ(Append(*f, 1, 7).value(), 2u);
  ASSERT_TRUE(f->flush().ok());
  EXPECT_EQ(HeaderCount(ReadFile(path())), 3u);
  EXPECT_TRUE(Holds(*f, 2, 7));
}

// A prepared flush makes records readable before they are synced; whatever changes after
// it must still reach the header at the next flush.
TEST_F(RecordFileTest, ChangesAfterPrepareReachTheHeader) {
  auto f = Open();
  ASSERT_TRUE(Append(*f, 2, 1).ok());
  ASSERT_TRUE(f->prepare_flush().ok());
  EXPECT_EQ(f->readable_count(), 2u);
  EXPECT_EQ(HeaderCount(ReadFile(path())), 2u);
  ASSERT_TRUE(Append(*f, 1, 2).ok());
  ASSERT_TRUE(f->flush().ok());
  EXPECT_EQ(HeaderCount(ReadFile(path())), 3u);
  EXPECT_TRUE(Holds(*f, 2, 2));

  ASSERT_TRUE(Append(*f, 2, 3).ok());
  ASSERT_TRUE(f->prepare_flush().ok());
  f->forget_from(4);
  ASSERT_TRUE(f->flush().ok());
  EXPECT_EQ(HeaderCount(ReadFile(path())), 4u);
  EXPECT_EQ(f->persisted_count(), 4u);
}

TEST_F(RecordFileTest, StoredCountComesFromTheCheck) {
  { ASSERT_TRUE(Append(*Open(), 4, 9).ok()); }
  auto f = Open();
  EXPECT_EQ(f->count(), 4u);
  EXPECT_EQ(f->readable_count(), 4u);
  EXPECT_TRUE(Holds(*f, 3, 9));
}

}  // namespace
}  // namespace tamix
