#include "metadata/metadata_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "metadata/metadata_store_testing.h"

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
  sqlite3* db() { return MetadataStoreTestPeer::connection(*store_); }
  int64_t query(const std::string& sql) {  // first column of the first row, from the file
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
    const int64_t value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return value;
  }
  int64_t rows(const char* table = "metadata") {
    return query(std::string("SELECT count(*) FROM ") + table);
  }
  void count_commits() {
    sqlite3_commit_hook(
        db(), [](void* n) { return ++*static_cast<int*>(n), 0; }, &commits_);
  }
  void exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  // The flush fails at this slot's row, after the rows before it in the same transaction.
  void fail_inserts_of_slot(Slot slot) {
    exec("CREATE TEMP TRIGGER fail BEFORE INSERT ON main.metadata WHEN NEW.slot = " +
         std::to_string(slot) + " BEGIN SELECT RAISE(ABORT, 'injected'); END");
  }
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
  int commits_ = 0;
};

using IdList = std::vector<std::pair<Slot, std::string>>;

TEST_F(MetadataStoreTest, FlushWithNothingPendingBeginsNoTransaction) {
  open();
  count_commits();
  EXPECT_TRUE(store_->flush().ok());
  insert_range(0, 1);
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_EQ(commits_, 1);
}

TEST_F(MetadataStoreTest, FlushRunsAtTheThousandthDistinctSlotOnly) {
  open();
  count_commits();
  insert_range(0, 999);
  EXPECT_EQ(rows(), 0);
  EXPECT_EQ(text(998), "text-998");
  insert_range(999, 1000);
  EXPECT_EQ(commits_, 1);
  EXPECT_EQ(rows(), 1000);
  EXPECT_EQ(store_->pending_count(), 0u);
  EXPECT_FALSE(store_->dirty());
}

TEST_F(MetadataStoreTest, SameSlotTwiceCountsOnceAndLaterTextWins) {
  open();
  ASSERT_TRUE(store_->insert(5, "first").ok());
  ASSERT_TRUE(store_->insert(5, "second").ok());
  insert_range(1000, 1998);  // 999 distinct slots with slot 5
  EXPECT_EQ(rows(), 0);
  insert_range(1998, 1999);
  EXPECT_EQ(rows(), 1000);
  EXPECT_EQ(text(5), "second");
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
  EXPECT_EQ(query("SELECT slot FROM metadata ORDER BY slot LIMIT 1"), INT64_MIN);
}

TEST_F(MetadataStoreTest, FailedFlushKeepsWholeBatchForTheNextFlush) {
  open();
  insert_range(1, 4);
  fail_inserts_of_slot(3);
  Status failed = store_->flush();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), Error::Kind::kKeyValue);
  EXPECT_EQ(failed.error().message(), "injected");  // SQLite's message, no context added
  EXPECT_EQ(rows(), 0);                             // slots 1 and 2 were rolled back too
  EXPECT_EQ(store_->pending_count(), 3u);
  EXPECT_TRUE(store_->dirty());
  exec("DROP TRIGGER fail");
  EXPECT_TRUE(store_->flush().ok());
  EXPECT_EQ(rows(), 3);
}

TEST_F(MetadataStoreTest, FailedThresholdFlushIsRetriedByEveryLaterInsert) {
  open();
  fail_inserts_of_slot(0);
  insert_range(0, 999);
  EXPECT_FALSE(store_->insert(999, "x").ok());
  EXPECT_FALSE(store_->insert(1000, "x").ok());
  exec("DROP TRIGGER fail");
  EXPECT_TRUE(store_->insert(1001, "x").ok());
  EXPECT_EQ(rows(), 1002);
}

TEST_F(MetadataStoreTest, IdsRoundTripAndRemovedIdsStayGone) {
  open();
  for (Slot s = 0; s < 3; ++s) ASSERT_TRUE(store_->insert(s, "id" + std::to_string(s), "t").ok());
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->remove_id(1).ok());
  EXPECT_EQ(ids(), (IdList{{0, "id0"}, {2, "id2"}}));  // pending removal hides the row
  EXPECT_EQ(rows("ids"), 3);
  open();
  EXPECT_EQ(ids(), (IdList{{0, "id0"}, {2, "id2"}}));
  EXPECT_EQ(text(1), "t");  // the text outlives the id
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

// The limit must leave room for the row around the text, or an accepted text would make
// every later flush fail.
TEST_F(MetadataStoreTest, CheckTextAcceptsExactlyWhatFlushCanWrite) {
  open();
  sqlite3_limit(db(), SQLITE_LIMIT_LENGTH, 1000);
  Status refused = store_->check_text(std::string(937, 'x'));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), Error::Kind::kInvalidInput);
  EXPECT_EQ(refused.error().message(),
            "Metadata text of 937 bytes exceeds the metadata store's limit of 936 bytes");
  const std::string longest(936, 'x');
  ASSERT_TRUE(store_->check_text(longest).ok());
  ASSERT_TRUE(store_->insert(1, longest, longest).ok());
  EXPECT_TRUE(store_->flush().ok());
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
    const size_t at_least = std::max(committed, reported * kBatch);
    EXPECT_EQ(stored.size() % kBatch, 0u) << "round " << round;
    EXPECT_GE(stored.size(), at_least) << "round " << round;
    EXPECT_LE(stored.size(), at_least + kBatch) << "round " << round;  // commit done, unreported
    EXPECT_EQ(rows(), static_cast<int64_t>(stored.size()));
    if (!stored.empty()) {
      EXPECT_EQ(stored.back().first, stored.size() - 1);
    }
    committed = stored.size();
    store_.reset();
  }
}

}  // namespace
}  // namespace tamix
