// What every vector store promises, checked over the three: the file is a header and then
// records, records are found only once flushed, deleted slots never take a place, a reopen
// changes nothing, and damaged files give a clean refusal or a store bounded by the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <map>

#include "storage/flat_storage.h"
#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"
#include "support/file_stamps.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/vectors.h"

namespace tamix {
namespace {

using testing::HeaderCount;
using testing::RandomVectors;
using testing::ReadFile;
using testing::SetHeaderCount;
using testing::Stamps;
using testing::TempDir;
using testing::Views;
using testing::WriteFile;

// A header byte set to a value, and the refusal it brings ("" when accepted).
struct HeaderCase {
  size_t at;
  uint8_t value;
  std::string message;
};

const HeaderCase kBadMagic{0, 0x00, "Invalid magic number: expected 0x546D7851, got 0x546D7800"};
const HeaderCase kBadVersion{4, 0x05, "Unsupported version: 5"};

struct Flat {
  using Store = FlatStorage;
  static constexpr uint64_t kStride = 512, kTooWide = 65536;
  static constexpr uint8_t kDataType = 0;
  static constexpr const char* kFile = "vectors.bin";
  static Result<std::unique_ptr<Store>> Make(const std::string& dir, uint64_t d, uint32_t) {
    return FlatStorage::open(dir, d);
  }
  static std::vector<ScoredIndex> Search(const Store& s, VectorView q, uint64_t k,
                                         const LiveSlots* live) {
    return s.search(q, k, live);
  }
  static std::vector<HeaderCase> HeaderCases() {
    return {kBadMagic, kBadVersion, {6, 0x00, "Invalid dimension: 0"}, {16, 0x02, ""},
            {7, 0x01,
             "Database dimension mismatch: expected 128, found 384. Cannot change dimension "
             "of existing database."}};
  }
};

struct Sq8 {
  using Store = Sq8Storage;
  static constexpr uint64_t kStride = 128, kTooWide = 70000;
  static constexpr uint8_t kDataType = 1;
  static constexpr const char* kFile = "sq8_vectors.bin";
  static Result<std::unique_ptr<Store>> Make(const std::string& dir, uint64_t d, uint32_t seed) {
    return Sq8Storage::create(dir, d, Views(RandomVectors(d > 4096 ? 2 : 50, d, seed)));
  }
  // Before any flush the search fails (nothing mapped): nothing found.
  static std::vector<ScoredIndex> Search(const Store& s, VectorView q, uint64_t k,
                                         const LiveSlots* live) {
    auto hits = s.search(q, k, live);
    return hits.ok() ? std::move(hits).value() : std::vector<ScoredIndex>{};
  }
  static std::vector<HeaderCase> HeaderCases() {
    return {kBadMagic, kBadVersion, {16, 0x02, "Invalid data type: expected 1, found 2"},
            {6, 0x00, "Dimension mismatch: expected 128, found 0"}};
  }
};

struct Pq {
  using Store = PqStorage;
  static constexpr uint64_t kStride = 16, kTooWide = 65544;
  static constexpr uint8_t kDataType = 2;
  static constexpr const char* kFile = "quantized_vectors.bin";
  static Result<std::unique_ptr<Store>> Make(const std::string& dir, uint64_t d, uint32_t seed) {
    ::testing::internal::CaptureStdout();  // the training lines
    auto r = PqStorage::create(dir, Views(RandomVectors(d > 4096 ? 1 : 300, d, seed)));
    ::testing::internal::GetCapturedStdout();
    return r;
  }
  static std::vector<ScoredIndex> Search(const Store& s, VectorView q, uint64_t k,
                                         const LiveSlots* live) {
    return s.search(q, k, live);
  }
  static std::vector<HeaderCase> HeaderCases() {
    return {kBadMagic, kBadVersion, {16, 0x01, "Invalid data type: expected 2, found 1"},
            {6, 0x00, "Dimension mismatch: expected 128, found 0"}};
  }
};

template <class T>
class StoreContractTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kDim = 128;
  using Store = typename T::Store;

  std::unique_ptr<Store> Make(uint32_t seed = 1) {
    auto r = T::Make(dir_.str(), kDim, seed);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string MakeError() {
    auto r = T::Make(dir_.str(), kDim, 1);
    return r.ok() ? "ok" : r.error().message();
  }
  static std::vector<ScoredIndex> Search(const Store& s, VectorView q, uint64_t k,
                                         const LiveSlots* live = nullptr) {
    return T::Search(s, q, k, live);
  }
  // A store of vectors_, flushed.
  std::unique_ptr<Store> Filled(size_t n) {
    vectors_ = RandomVectors(n, kDim, 2);
    auto s = Make();
    EXPECT_TRUE(s->add(Views(vectors_)).ok());
    EXPECT_TRUE(s->flush().ok());
    return s;
  }
  // The store file of 3 records; its quantizer, if any, stays in source_.
  std::vector<uint8_t> ThreeRecords() {
    { EXPECT_TRUE(T::Make(source_.str(), kDim, 1).value()->add(Views(RandomVectors(3, kDim))).ok()); }
    return ReadFile(source_.file(T::kFile));
  }
  // These bytes as the store file, beside the other files of ThreeRecords; stamps them all.
  void PlaceFile(const std::vector<uint8_t>& bytes) {
    std::filesystem::copy(source_.path(), dir_.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    WriteFile(path(), bytes);
    testing::Backdate(dir_.path());
    stamps_ = Stamps(dir_.path());
  }
  bool Untouched() const { return Stamps(dir_.path()) == stamps_; }
  std::string path() const { return dir_.file(T::kFile); }

  TempDir source_, dir_;
  std::vector<std::vector<float>> vectors_;
  std::map<std::string, testing::FileStamp> stamps_;
};

using Stores = ::testing::Types<Flat, Sq8, Pq>;
TYPED_TEST_SUITE(StoreContractTest, Stores);

TYPED_TEST(StoreContractTest, NewStoreIsItsHeaderOnly) {
  auto s = this->Make();
  EXPECT_EQ(ReadFile(this->path()),
            (std::vector<uint8_t>{0x51, 0x78, 0x6D, 0x54, 0x04, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0,
                                  0, 0, 0, TypeParam::kDataType, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s->count(), 0u);
  EXPECT_TRUE(this->Search(*s, std::vector<float>(128, 1.0f), 5).empty());
}

TYPED_TEST(StoreContractTest, RecordsAreSearchableAfterFlush) {
  auto s = this->Make();
  const auto vs = RandomVectors(3, 128, 2);
  EXPECT_EQ(s->add(Views(vs)).value(), (std::vector<Slot>{0, 1, 2}));
  EXPECT_EQ(ReadFile(this->path()).size(), 24 + 3 * TypeParam::kStride);
  EXPECT_EQ(HeaderCount(ReadFile(this->path())), 0u);
  EXPECT_TRUE(this->Search(*s, vs[0], 10).empty());

  ASSERT_TRUE(s->flush().ok());
  EXPECT_EQ(HeaderCount(ReadFile(this->path())), 3u);
  const auto hits = this->Search(*s, vs[1], 10);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].slot, 1u);
  EXPECT_TRUE(this->Search(*s, vs[1], 0).empty());
}

TYPED_TEST(StoreContractTest, OnlyLiveSlotsTakePlaces) {
  auto s = this->Filled(600);
  LiveSlots live;
  for (Slot i = 1; i < 600; i += 2) live.insert(i);  // every even slot deleted
  std::vector<Slot> expected;
  for (const auto& h : this->Search(*s, this->vectors_[0], 600)) {
    if (h.slot % 2 == 1 && expected.size() < 10) expected.push_back(h.slot);
  }
  std::vector<Slot> got;
  for (const auto& h : this->Search(*s, this->vectors_[0], 10, &live)) got.push_back(h.slot);
  EXPECT_EQ(got, expected);
  const LiveSlots none;
  EXPECT_TRUE(this->Search(*s, this->vectors_[0], 10, &none).empty());
}

TYPED_TEST(StoreContractTest, CleanFlushWritesNothing) {
  auto s = this->Filled(2);
  testing::Backdate(this->dir_.path());
  const auto before = Stamps(this->dir_.path());
  ASSERT_TRUE(s->flush().ok());
  EXPECT_EQ(Stamps(this->dir_.path()), before);
}

// Whatever training a quantized store is offered, its stored quantizer answers.
TYPED_TEST(StoreContractTest, ReopenAnswersAlikeAndWritesNothing) {
  std::vector<ScoredIndex> before;
  {
    auto s = this->Filled(20);
    before = this->Search(*s, this->vectors_[3], 5);
  }
  testing::Backdate(this->dir_.path());
  const auto files = Stamps(this->dir_.path());
  {
    auto s = this->Make(3);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->count(), 20u);
    EXPECT_EQ(s->persisted_count(), 20u);
    const auto after = this->Search(*s, this->vectors_[3], 5);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].slot, before[i].slot);
  }
  EXPECT_EQ(Stamps(this->dir_.path()), files);
}

TYPED_TEST(StoreContractTest, DimensionAboveTheFieldIsRefusedBeforeAnyByte) {
  auto r = TypeParam::Make(this->dir_.str(), TypeParam::kTooWide, 1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "Dimension " + std::to_string(TypeParam::kTooWide) + " exceeds maximum 65535");
  for (const auto& [name, stamp] : Stamps(this->dir_.path())) EXPECT_EQ(stamp.size, 0) << name;
}

// The count is zeroed too: a quantized store would retrain, were the header accepted.
TYPED_TEST(StoreContractTest, HeaderIsCheckedByTheStoresRule) {
  for (const HeaderCase& c : TypeParam::HeaderCases()) {
    auto bytes = this->ThreeRecords();
    SetHeaderCount(bytes, 0);
    bytes[c.at] = c.value;
    this->PlaceFile(bytes);
    EXPECT_EQ(this->MakeError(), c.message.empty() ? "ok" : c.message) << c.at;
    if (!c.message.empty()) {
      EXPECT_TRUE(this->Untouched()) << c.at;
    }
  }
}

TYPED_TEST(StoreContractTest, TruncatedAtEveryOffset) {
  const auto whole_file = this->ThreeRecords();
  for (size_t len = 0; len <= whole_file.size(); ++len) {
    const std::vector<uint8_t> prefix(whole_file.begin(), whole_file.begin() + len);
    this->PlaceFile(prefix);
    const uint64_t whole = len < 24 ? 0 : (len - 24) / TypeParam::kStride;
    {
      auto s = this->Make();
      ASSERT_TRUE(s) << len;
      EXPECT_EQ(s->count(), whole) << len;
      EXPECT_LE(this->Search(*s, std::vector<float>(128, 0.5f), 1000).size(), whole);
    }
    EXPECT_EQ(ReadFile(this->path()), prefix) << len;
    if (whole > 0) {
      EXPECT_TRUE(this->Untouched()) << len;
    }
  }
}

TYPED_TEST(StoreContractTest, AbsurdCountsAreCutToTheRecordsPresent) {
  const auto valid = this->ThreeRecords();
  const std::vector<uint8_t> header_only(valid.begin(), valid.begin() + 24);
  for (uint64_t count : {uint64_t{4}, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    for (const auto& file : {valid, header_only}) {
      auto bytes = file;
      SetHeaderCount(bytes, count);
      this->PlaceFile(bytes);
      auto s = this->Make();
      ASSERT_TRUE(s);
      EXPECT_EQ(s->count(), bytes.size() == 24 ? 0u : 3u) << count;
      EXPECT_LE(this->Search(*s, std::vector<float>(128, 0.5f), 1000).size(), s->count());
    }
  }
}

}  // namespace
}  // namespace tamix
