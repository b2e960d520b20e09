#include "metadata/metadata_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "support/file_stamps.h"

namespace tamix {
namespace {

namespace fs = std::filesystem;

class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path() / "tamix_meta_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/metadata.db";
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(dir_);
  }

  void open() {
    store_.reset();
    auto store = MetadataStore::open(dir_);
    ASSERT_TRUE(store.ok()) << store.error().message();
    store_ = std::move(store).value();
  }
  // The test's own connection, which SQLite's exclusive lock admits only while no store
  // holds the file.
  void on_file(const std::function<void(sqlite3*)>& body) {
    sqlite3* c = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &c), SQLITE_OK);
    body(c);
    sqlite3_close(c);
  }
  int64_t query(const std::string& sql) {  // first column of the first row
    int64_t value = -1;
    on_file([&](sqlite3* c) {
      sqlite3_stmt* stmt = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(c, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
      if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int64(stmt, 0);
      sqlite3_finalize(stmt);
    });
    return value;
  }
  int64_t rows(const char* table = "metadata") {
    return query(std::string("SELECT count(*) FROM ") + table);
  }
  // From the next open on, every flush that writes the text kRefused fails there, after the
  // rows before it in the same transaction.
  void refuse_marked_text() {
    open();
    store_.reset();
    on_file([](sqlite3* c) {
      ASSERT_EQ(sqlite3_exec(c,
                             "CREATE TRIGGER refuse BEFORE INSERT ON metadata WHEN NEW.text = "
                             "'refused' BEGIN SELECT RAISE(ABORT, 'injected'); END",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
    });
  }
  void stamp() {
    testing::Backdate(dir_);
    stamps_ = testing::Stamps(dir_);
  }
  bool untouched() { return testing::Stamps(dir_) == stamps_; }
  void insert_range(Slot from, Slot to) {
    for (Slot s = from; s < to; ++s) {
      ASSERT_TRUE(store_->insert(s, "text-" + std::to_string(s)).ok());
    }
  }
  std::string text(Slot slot) {
    auto r = store_->get(slot);
    if (!r.ok()) return "<error: " + r.error().message() + ">";
    return r.value().value_or("<none>");
  }
  std::vector<std::pair<Slot, std::string>> ids() { return store_->list_ids().value(); }
  void write_file(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string read_file() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_, path_;
  std::unique_ptr<MetadataStore> store_;
  std::map<std::string, testing::FileStamp> stamps_;
};

constexpr char kRefused[] = "refused";

using IdList = std::vector<std::pair<Slot, std::string>>;

TEST_F(MetadataStoreTest, FlushWithNothingPendingWritesNothing) {
  open();
  stamp();
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_TRUE(untouched());
  insert_range(0, 1);
  EXPECT_TRUE(store_->flush().ok());
  stamp();
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_TRUE(untouched());
}

TEST_F(MetadataStoreTest, FlushRunsAtTheThousandthDistinctSlotOnly) {
  open();
  stamp();
  insert_range(0, 999);
  EXPECT_TRUE(untouched());
  EXPECT_EQ(text(998), "text-998");
  insert_range(999, 1000);
  EXPECT_FALSE(untouched());
  stamp();
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_TRUE(untouched());  // nothing was left pending
  store_.reset();
  EXPECT_EQ(rows(), 1000);
}

TEST_F(MetadataStoreTest, SameSlotTwiceCountsOnceAndLaterTextWins) {
  open();
  stamp();
  ASSERT_TRUE(store_->insert(5, "first").ok());
  ASSERT_TRUE(store_->insert(5, "second").ok());
  insert_range(1000, 1998);  // 999 distinct slots with slot 5
  EXPECT_TRUE(untouched());
  insert_range(1998, 1999);
  EXPECT_FALSE(untouched());
  EXPECT_EQ(text(5), "second");
  store_.reset();
  EXPECT_EQ(rows(), 1000);
}

TEST_F(MetadataStoreTest, ReadsPreferPendingTextThenFileThenAbsent) {
  open();
  ASSERT_TRUE(store_->insert(1, "old").ok());
  ASSERT_TRUE(store_->insert(2, "stored").ok());
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->insert(1, "new").ok());
  EXPECT_EQ(text(1), "new");
  EXPECT_EQ(text(2), "stored");
  EXPECT_EQ(text(3), "<none>");
  open();  // the pending text replaced the row
  EXPECT_EQ(text(1), "new");
}

// Reading many texts in one pass answers as reading each alone: rows near and far apart,
// absent and pending ones, keys from 2^63 up, and a text whose overflow chain is broken.
TEST_F(MetadataStoreTest, ReadingTextsTogetherAnswersAsOneByOne) {
  const Slot big = Slot{1} << 63;
  const std::string pattern = "overflow text ";
  std::string large;
  while (large.size() < 20000) large += pattern;
  open();
  for (Slot s : {Slot{1}, Slot{2}, Slot{4}, Slot{30}, Slot{31}, Slot{200}, big, big + 5}) {
    ASSERT_TRUE(store_->insert(s, "t" + std::to_string(s)).ok());
  }
  ASSERT_TRUE(store_->insert(20, large).ok());
  store_.reset();
  // The first overflow page of the large text: its next-page number points nowhere.
  std::string file = read_file();
  const size_t page = (static_cast<uint8_t>(file[16]) << 8) | static_cast<uint8_t>(file[17]);
  size_t at = page;
  while (at < file.size() && large.find(file.substr(at + 4, 64)) == std::string::npos) at += page;
  ASSERT_LT(at, file.size());
  file.replace(at, 4, "\xff\xff\xff\x7f");
  write_file(file);
  open();
  ASSERT_TRUE(store_->insert(3, "pending").ok());
  const std::vector<Slot> slots = {0, 1, 2, 3, 4, 5, 20, 29, 30, 31, 100, 200, 201, big, big + 5};
  std::vector<std::string> together(slots.size(), "ok");
  store_->read_texts(slots, [&](size_t i, Error e) { together[i] = e.message(); });
  for (size_t i = 0; i < slots.size(); ++i) {
    const auto alone = store_->get(slots[i]);
    EXPECT_EQ(together[i], alone.ok() ? "ok" : alone.error().message()) << slots[i];
  }
  EXPECT_NE(together[6], "ok");  // slot 20
}

TEST_F(MetadataStoreTest, EmptyTextIsStoredNotAbsent) {
  open();
  ASSERT_TRUE(store_->insert(7, "").ok());
  open();  // dropping flushes
  EXPECT_EQ(text(7), "");
}

TEST_F(MetadataStoreTest, SlotKeysKeepAllSixtyFourBits) {
  const Slot big = Slot{1} << 63, max = UINT64_MAX;
  open();
  for (Slot s : {max, big, Slot{0}}) ASSERT_TRUE(store_->insert(s, std::to_string(s), "t").ok());
  open();
  EXPECT_EQ(ids(), (IdList{{0, "0"}, {big, std::to_string(big)}, {max, std::to_string(max)}}));
  store_.reset();
  EXPECT_EQ(query("SELECT slot FROM metadata ORDER BY slot LIMIT 1"), INT64_MIN);
}

TEST_F(MetadataStoreTest, FailedFlushWritesNoneOfTheBatchAndKeepsItForTheNext) {
  refuse_marked_text();
  open();
  insert_range(1, 3);
  ASSERT_TRUE(store_->insert(3, kRefused).ok());
  stamp();
  Status failed = store_->flush();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), Error::Kind::kKeyValue);
  EXPECT_EQ(failed.error().message(), "injected");  // SQLite's message, no context added
  EXPECT_TRUE(untouched());  // slots 1 and 2 were rolled back too
  ASSERT_TRUE(store_->insert(3, "text-3").ok());
  EXPECT_TRUE(store_->flush().ok());
  store_.reset();
  EXPECT_EQ(rows(), 3);
}

TEST_F(MetadataStoreTest, FailedThresholdFlushIsRetriedByEveryLaterInsert) {
  refuse_marked_text();
  open();
  ASSERT_TRUE(store_->insert(0, kRefused).ok());
  insert_range(1, 999);
  EXPECT_FALSE(store_->insert(999, "x").ok());
  EXPECT_FALSE(store_->insert(1000, "x").ok());
  ASSERT_TRUE(store_->insert(0, "x").ok());  // the flush it retries now succeeds
  store_.reset();
  EXPECT_EQ(rows(), 1001);
}

TEST_F(MetadataStoreTest, IdsRoundTripAndRemovedIdsStayGone) {
  open();
  for (Slot s = 0; s < 3; ++s) ASSERT_TRUE(store_->insert(s, "id" + std::to_string(s), "t").ok());
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->remove_id(1).ok());
  EXPECT_EQ(ids(), (IdList{{0, "id0"}, {2, "id2"}}));  // pending removal hides the row
  open();
  EXPECT_EQ(ids(), (IdList{{0, "id0"}, {2, "id2"}}));
  EXPECT_EQ(text(1), "t");  // the text outlives the id
  store_.reset();
  EXPECT_EQ(rows("ids"), 2);
}

TEST_F(MetadataStoreTest, InsertWithIdSupersedesPendingRemoval) {
  open();
  ASSERT_TRUE(store_->insert(4, "old", "t").ok());
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->remove_id(4).ok());
  ASSERT_TRUE(store_->insert(4, "new", "t2").ok());
  ASSERT_TRUE(store_->insert(9, "pending", "t").ok());
  EXPECT_EQ(ids(), (IdList{{4, "new"}, {9, "pending"}}));
  open();
  EXPECT_EQ(ids(), (IdList{{4, "new"}, {9, "pending"}}));
}

// Changes to the slots a commit point covers wait for the next point; new rows do not.
class HeldChangesTest : public MetadataStoreTest {
 protected:
  void committed(Slot n) {
    open();
    insert_ids(0, n);
    ASSERT_TRUE(store_->commit({n, 0}).ok());
  }
  void insert_ids(Slot from, Slot to) {
    for (Slot s = from; s < to; ++s) {
      ASSERT_TRUE(store_->insert(s, "id" + std::to_string(s), "t").ok());
    }
  }
  bool listed(Slot slot) {
    for (const auto& [s, id] : ids()) {
      if (s == slot) return true;
    }
    return false;
  }
};

TEST_F(HeldChangesTest, CommittedRemovalSurvivesFlushAndReopenAndGoesWithACommit) {
  committed(10);
  ASSERT_TRUE(store_->remove_id(5).ok());
  ASSERT_TRUE(store_->flush().ok());
  EXPECT_FALSE(listed(5));
  open();
  EXPECT_TRUE(listed(5));
  ASSERT_TRUE(store_->remove_id(5).ok());
  ASSERT_TRUE(store_->commit({10, 0}).ok());
  open();
  EXPECT_FALSE(listed(5));
}

TEST_F(HeldChangesTest, HeldRemovalsNeverReachTheThreshold) {
  committed(METADATA_FLUSH_THRESHOLD);
  stamp();
  for (Slot s = 0; s < METADATA_FLUSH_THRESHOLD; ++s) ASSERT_TRUE(store_->remove_id(s).ok());
  insert_ids(METADATA_FLUSH_THRESHOLD, 2 * METADATA_FLUSH_THRESHOLD - 1);
  EXPECT_TRUE(untouched());
  insert_ids(2 * METADATA_FLUSH_THRESHOLD - 1, 2 * METADATA_FLUSH_THRESHOLD);
  EXPECT_FALSE(untouched());
  store_.reset();
  EXPECT_EQ(rows("ids"), 2 * static_cast<int64_t>(METADATA_FLUSH_THRESHOLD));
}

TEST_F(HeldChangesTest, DiscardTakesBackNewRowsOnly) {
  committed(10);
  ASSERT_TRUE(store_->remove_id(3).ok());
  insert_ids(10, 12);
  store_->discard_from(0);
  EXPECT_EQ(ids().size(), 9u);
  EXPECT_FALSE(listed(3));
  ASSERT_TRUE(store_->commit({10, 0}).ok());
  open();
  EXPECT_EQ(ids().size(), 9u);
}

TEST_F(HeldChangesTest, SettleIsRefusedWhileAnythingIsPending) {
  committed(10);
  ASSERT_TRUE(store_->remove_id(5).ok());
  EXPECT_FALSE(store_->settle(3).ok());
  ASSERT_TRUE(store_->insert(20, "a", "{}").ok());
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->insert(21, "b", "{}").ok());
  EXPECT_FALSE(store_->settle(3).ok());
  ASSERT_TRUE(store_->flush().ok());
  store_.reset();
  EXPECT_EQ(query("SELECT count(*) FROM ids WHERE slot IN (5, 20, 21)"), 3);
}

// The limit must leave room for the row around the text, or an accepted text would make
// every later flush fail. The boundary is found at SQLite's own limit, through a view of
// mapped memory that check_text never reads; a text of the same distance below a lowered
// limit is then written in both tables.
TEST_F(MetadataStoreTest, CheckTextAcceptsExactlyWhatFlushCanWrite) {
  int64_t limit = 0;
  on_file([&](sqlite3* c) { limit = sqlite3_limit(c, SQLITE_LIMIT_LENGTH, -1); });
  void* map = mmap(nullptr, limit, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const auto text_of = [&](int64_t n) { return std::string_view(static_cast<char*>(map), n); };
  open();
  constexpr int64_t kRoom = 64;
  const int64_t longest = limit - kRoom;
  EXPECT_TRUE(store_->check_text(text_of(longest)).ok());
  Status refused = store_->check_text(text_of(longest + 1));
  munmap(map, limit);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), Error::Kind::kInvalidInput);
  EXPECT_EQ(refused.error().message(), "Metadata text of " + std::to_string(longest + 1) +
                                           " bytes exceeds the metadata store's limit of " +
                                           std::to_string(longest) + " bytes");
  store_.reset();
  on_file([&](sqlite3* c) {
    sqlite3_limit(c, SQLITE_LIMIT_LENGTH, 1000);
    const std::string text(1000 - kRoom, 'x');
    for (const std::string table : {"metadata", "ids"}) {
      const std::string sql = "INSERT INTO " + table + " VALUES(-1, '" + text + "')";
      EXPECT_EQ(sqlite3_exec(c, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << table;
    }
  });
}

TEST_F(MetadataStoreTest, ZeroByteFileIsInitialised) {
  write_file("");
  open();
  ASSERT_TRUE(store_->insert(1, "a").ok());
  open();
  EXPECT_EQ(text(1), "a");
}

TEST_F(MetadataStoreTest, ForeignFileIsRefusedAndLeftAsItWas) {
  for (const std::string& bytes : {std::string("not a database"), std::string(8192, '\x5a')}) {
    write_file(bytes);
    auto store = MetadataStore::open(dir_);
    ASSERT_FALSE(store.ok());
    EXPECT_EQ(store.error().message(), "Failed to create metadata.db");
    EXPECT_EQ(store.error().kind(), Error::Kind::kKeyValue);
    EXPECT_EQ(read_file(), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  }
}

TEST_F(MetadataStoreTest, SecondStoreInProcessFailsUntilFirstIsDropped) {
  open();
  auto second = MetadataStore::open(dir_ + "/");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(), "Failed to create metadata.db");
  ASSERT_TRUE(store_->insert(1, "still works").ok());
  open();  // drops the first store, then opens again
  EXPECT_EQ(text(1), "still works");
}

// The child is forked before the parent opens, so it shares no state with the open store.
// Each byte from the parent makes it try an open and answer whether it succeeded.
TEST_F(MetadataStoreTest, SecondStoreInOtherProcessFailsUntilFirstIsDropped) {
  int ask[2], answer[2];
  ASSERT_EQ(pipe(ask), 0);
  ASSERT_EQ(pipe(answer), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ask[1]);
    char c;
    while (read(ask[0], &c, 1) == 1) {
      c = MetadataStore::open(dir_).ok() ? 'y' : 'n';
      if (write(answer[1], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  close(ask[0]);
  close(answer[1]);
  auto child_opens = [&] {
    char c = '?';
    EXPECT_EQ(write(ask[1], &c, 1), 1);
    EXPECT_EQ(read(answer[0], &c, 1), 1);
    return c;
  };
  open();
  EXPECT_EQ(child_opens(), 'n');
  store_.reset();
  EXPECT_EQ(child_opens(), 'y');
  close(ask[1]);
  close(answer[0]);
  waitpid(child, nullptr, 0);
}

// A child adds batches of ids and texts, each committed by the insert that reaches the
// threshold, and reports each committed batch; it is killed at a random moment.
TEST_F(MetadataStoreTest, KilledWriterLeavesEveryReportedBatchAndNoPartialOne) {
  constexpr Slot kBatch = METADATA_FLUSH_THRESHOLD;
  std::mt19937 rng(std::random_device{}());
  size_t committed = 0;
  for (int round = 0; round < 4; ++round) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(report[0]);
      auto store = MetadataStore::open(dir_);
      if (!store.ok()) _exit(1);
      auto& s = *store.value();
      const Slot first_batch = s.list_ids().value().size() / kBatch;
      for (Slot batch = first_batch;; ++batch) {
        for (Slot slot = batch * kBatch; slot < (batch + 1) * kBatch; ++slot) {
          if (!s.insert(slot, std::to_string(slot), std::string(100, 'm')).ok()) _exit(1);
        }
        if (write(report[1], &batch, sizeof batch) != sizeof batch) _exit(1);
      }
    }
    close(report[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 250));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    Slot batch, reported = 0;
    while (read(report[0], &batch, sizeof batch) == sizeof batch) reported = batch + 1;
    close(report[0]);

    open();
    const auto stored = ids();
    store_.reset();
    const size_t at_least = std::max(committed, reported * kBatch);
    EXPECT_EQ(stored.size() % kBatch, 0u) << "round " << round;
    EXPECT_GE(stored.size(), at_least) << "round " << round;
    EXPECT_LE(stored.size(), at_least + kBatch) << "round " << round;  // commit done, unreported
    EXPECT_EQ(rows(), static_cast<int64_t>(stored.size()));
    if (!stored.empty()) {
      EXPECT_EQ(stored.back().first, stored.size() - 1);
    }
    committed = stored.size();
  }
}

}  // namespace
}  // namespace tamix
