#include "metadata/metadata_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "core/file_io.h"
#include "core/utf8.h"
#include "metadata/file_claim.h"
#include "metadata/sqlite_util.h"

namespace tamix {
namespace {

// Everything before the first read of the file changes nothing on disk, so a file that is
// not a database is refused (SQLITE_NOTADB) before a byte is written. WAL costs one append
// and one sync per commit, and recovery keeps whole transactions only. In the exclusive
// locking mode the WAL index lives in process memory (no -shm file) and SQLite keeps its
// lock on the file until close; another process fails at once (no busy timeout is set).
// fullfsync makes the syncs reach stable storage on macOS; it does nothing elsewhere.
constexpr char kOpenSql[] =
    "PRAGMA locking_mode=EXCLUSIVE;"
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "PRAGMA fullfsync=ON;"
    "PRAGMA checkpoint_fullfsync=ON;"
    "BEGIN IMMEDIATE";

constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS metadata(slot INTEGER PRIMARY KEY, text TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS ids(slot INTEGER PRIMARY KEY, id TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS state(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

constexpr char kHasTablesSql[] =
    "SELECT EXISTS(SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'metadata')";

constexpr char kVectorCountKey[] = "vector_count";
constexpr char kVectorStoreKey[] = "vector_store";

// SQLITE_LIMIT_LENGTH bounds the whole encoded row, not just the text: the record header
// adds three varints (header length, NULL for the rowid key, the text's type), at most
// 27 bytes. 64 covers that with room to spare.
constexpr uint64_t kRowOverhead = 64;

constexpr Slot kFirstNegativeKey = Slot{1} << 63;

enum class IdChange : uint8_t { kNone, kSet, kRemove };

struct PendingEntry {
  std::optional<std::string> text;
  std::string id;  // the caller's id when id_change is kSet
  IdChange id_change = IdChange::kNone;
};

using PendingMap = std::unordered_map<Slot, PendingEntry>;
using IdList = std::vector<std::pair<Slot, std::string>>;

// The file keeps the u64 slot bit for bit in SQLite's signed 64-bit key.
sqlite3_int64 key_of(Slot slot) { return static_cast<sqlite3_int64>(slot); }

std::string column_string(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  const int size = sqlite3_column_bytes(stmt, column);
  return text ? std::string(text, size) : std::string();
}

// Merges the pending id changes (set or removed) of both maps into the stored pairs; both
// ascending.
IdList apply_pending_ids(IdList stored, const PendingMap& held, const PendingMap& fresh) {
  std::vector<std::pair<Slot, const PendingEntry*>> changes;
  for (const PendingMap* map : {&held, &fresh}) {
    for (const auto& [slot, entry] : *map) {
      if (entry.id_change != IdChange::kNone) changes.emplace_back(slot, &entry);
    }
  }
  if (changes.empty()) return stored;
  std::sort(changes.begin(), changes.end());
  IdList out;
  out.reserve(stored.size() + changes.size());
  size_t i = 0;
  for (const auto& [slot, entry] : changes) {
    while (i < stored.size() && stored[i].first < slot) out.push_back(std::move(stored[i++]));
    if (i < stored.size() && stored[i].first == slot) ++i;
    if (entry->id_change == IdChange::kSet) out.emplace_back(slot, entry->id);
  }
  std::move(stored.begin() + i, stored.end(), std::back_inserter(out));
  return out;
}

}  // namespace

struct MetadataStore::Impl {
  Status connect(const std::string& path);
  void leave_as_found();
  Status create_tables(const FirstPoint& first_point);
  Result<bool> has_tables();
  Status prepare_statements();
  PendingEntry& entry(Slot slot);
  const PendingEntry* find_pending(Slot slot) const;
  Status after_change();
  template <class Body>
  Status in_transaction(const Body& body);
  Status flush_fresh();
  Status commit_with(const CommitPoint& point);
  Status put_commit_point(const CommitPoint& point);
  Status delete_rows_from(Slot n);
  Status write_pending(const PendingMap& changes);
  Result<std::optional<uint64_t>> read_state(const char* key);
  Status put_state(const char* key, uint64_t value);
  Status read_commit_point();
  Result<bool> has_rows_from(Slot n);
  Status put(sqlite3_stmt* stmt, Slot slot, const std::string& text);
  Result<std::optional<std::string>> read_text(Slot slot);
  Result<std::optional<std::string>> read_text_locked(Slot slot);
  Result<IdList> read_ids(std::vector<Slot>* damaged);

  std::optional<FileClaim> claim;  // first member: released only after the connection closes
  sqlite::Connection db;
  sqlite::Statement begin, commit, rollback, put_text, put_id, delete_id, get_text, list_ids;
  sqlite::Statement put_state_row, get_state, rows_from, delete_ids_from, delete_texts_from;
  sqlite::Statement texts_from;
  std::mutex read_mutex;  // concurrent readers share get_text and list_ids
  // Pending changes, split at `covered`: below it the rows a commit point covers, whose
  // changes are written only together with the next point (an open keeps those rows
  // whatever followed them); from it on the rows of new slots, which any flush may write
  // since an open drops them again until a point covers them. Every key of `held` is below
  // `covered` and every key of `fresh` at or above it; `covered` moves only when both are
  // empty (a commit, settle, the open), so no change ever has to move between them.
  PendingMap held, fresh;
  std::vector<std::pair<Slot, const PendingEntry*>> flush_order;
  std::optional<CommitPoint> committed;
  Slot covered = 0;
  bool wal_existed = false;    // before this store opened the file
  bool left_as_found = false;  // the close writes nothing
};

Status MetadataStore::Impl::connect(const std::string& path) {
  TAMIX_ASSIGN_OR_RETURN(claim, FileClaim::acquire(path));
  wal_existed = file_io::exists(path + "-wal");
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  db.reset(raw);
  if (rc != SQLITE_OK) return raw ? sqlite::last_error(raw) : Error::KeyValue(sqlite3_errstr(rc));
  return sqlite::exec(raw, kOpenSql);
}

// A close checkpoints the WAL into the main file and removes it. A WAL a crash left keeps
// its commits apart instead; one this open made holds only what the open wrote, and goes.
void MetadataStore::Impl::leave_as_found() {
  left_as_found = true;
  if (wal_existed) {
    (void)sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
}

Result<bool> MetadataStore::Impl::has_tables() {
  TAMIX_ASSIGN_OR_RETURN(sqlite::Statement query, sqlite::prepare(db.get(), kHasTablesSql));
  if (sqlite3_step(query.get()) != SQLITE_ROW) return sqlite::last_error(db.get());
  return sqlite3_column_int64(query.get(), 0) != 0;
}

// Runs inside the transaction that connect began.
Status MetadataStore::Impl::create_tables(const FirstPoint& first_point) {
  Status status = [&]() -> Status {
    TAMIX_ASSIGN_OR_RETURN(const bool existed, has_tables());
    TAMIX_TRY(sqlite::exec(db.get(), kCreateSql));
    if (!existed && first_point) {
      if (const std::optional<CommitPoint> point = first_point()) {
        const std::string sql = "INSERT INTO state(key, value) VALUES('" +
                                std::string(kVectorCountKey) + "', " +
                                std::to_string(point->vector_count) + "), ('" + kVectorStoreKey +
                                "', " + std::to_string(point->vector_store) + ")";
        TAMIX_TRY(sqlite::exec(db.get(), sql.c_str()));
      }
    }
    return sqlite::exec(db.get(), "COMMIT");
  }();
  if (!status.ok()) {
    if (!sqlite3_get_autocommit(db.get())) (void)sqlite::exec(db.get(), "ROLLBACK");
    return status;
  }
  return prepare_statements();
}

Status MetadataStore::Impl::prepare_statements() {
  sqlite3* c = db.get();
  TAMIX_ASSIGN_OR_RETURN(begin, sqlite::prepare(c, "BEGIN IMMEDIATE"));
  TAMIX_ASSIGN_OR_RETURN(commit, sqlite::prepare(c, "COMMIT"));
  TAMIX_ASSIGN_OR_RETURN(rollback, sqlite::prepare(c, "ROLLBACK"));
  TAMIX_ASSIGN_OR_RETURN(
      put_text, sqlite::prepare(c, "INSERT OR REPLACE INTO metadata(slot, text) VALUES(?1, ?2)"));
  TAMIX_ASSIGN_OR_RETURN(put_id,
                         sqlite::prepare(c, "INSERT OR REPLACE INTO ids(slot, id) VALUES(?1, ?2)"));
  TAMIX_ASSIGN_OR_RETURN(delete_id, sqlite::prepare(c, "DELETE FROM ids WHERE slot = ?1"));
  TAMIX_ASSIGN_OR_RETURN(get_text, sqlite::prepare(c, "SELECT text FROM metadata WHERE slot = ?1"));
  TAMIX_ASSIGN_OR_RETURN(list_ids, sqlite::prepare(c, "SELECT slot, id FROM ids ORDER BY slot"));
  TAMIX_ASSIGN_OR_RETURN(
      texts_from,
      sqlite::prepare(c, "SELECT slot, text FROM metadata WHERE slot >= ?1 ORDER BY slot"));
  TAMIX_ASSIGN_OR_RETURN(
      put_state_row, sqlite::prepare(c, "INSERT OR REPLACE INTO state(key, value) VALUES(?1, ?2)"));
  TAMIX_ASSIGN_OR_RETURN(get_state,
                         sqlite::prepare(c, "SELECT value, quote(value) FROM state WHERE key = ?1"));
  // Keys from 2^63 up are negative in SQLite; no commit point reaches them.
  TAMIX_ASSIGN_OR_RETURN(
      rows_from, sqlite::prepare(c,
                                 "SELECT EXISTS(SELECT 1 FROM ids WHERE slot >= ?1 OR slot < 0) OR "
                                 "EXISTS(SELECT 1 FROM metadata WHERE slot >= ?1 OR slot < 0)"));
  TAMIX_ASSIGN_OR_RETURN(delete_ids_from,
                         sqlite::prepare(c, "DELETE FROM ids WHERE slot >= ?1 OR slot < 0"));
  TAMIX_ASSIGN_OR_RETURN(delete_texts_from,
                         sqlite::prepare(c, "DELETE FROM metadata WHERE slot >= ?1 OR slot < 0"));
  return Ok();
}

Result<std::optional<uint64_t>> MetadataStore::Impl::read_state(const char* key) {
  sqlite3_stmt* stmt = get_state.get();
  sqlite::ResetOnExit reset(stmt);
  if (sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC) != SQLITE_OK) {
    return sqlite::last_error(db.get());
  }
  switch (sqlite3_step(stmt)) {
    case SQLITE_ROW:
      // Only a non-negative integer was ever written; read as one, anything else would
      // move the commit point and let the open erase rows.
      if (sqlite3_column_type(stmt, 0) != SQLITE_INTEGER || sqlite3_column_int64(stmt, 0) < 0) {
        return Error::Message("metadata.db: invalid " + std::string(key) + " " +
                              column_string(stmt, 1));
      }
      return std::optional<uint64_t>(static_cast<uint64_t>(sqlite3_column_int64(stmt, 0)));
    case SQLITE_DONE:
      return std::optional<uint64_t>();
    default:
      return sqlite::last_error(db.get());
  }
}

Status MetadataStore::Impl::read_commit_point() {
  TAMIX_ASSIGN_OR_RETURN(const std::optional<uint64_t> count, read_state(kVectorCountKey));
  TAMIX_ASSIGN_OR_RETURN(const std::optional<uint64_t> store, read_state(kVectorStoreKey));
  committed.reset();
  if (count) committed = CommitPoint{*count, store.value_or(0)};
  covered = committed ? committed->vector_count : 0;
  return Ok();
}

Result<bool> MetadataStore::Impl::has_rows_from(Slot n) {
  sqlite3_stmt* stmt = rows_from.get();
  sqlite::ResetOnExit reset(stmt);
  if (sqlite3_bind_int64(stmt, 1, key_of(n)) != SQLITE_OK) return sqlite::last_error(db.get());
  if (sqlite3_step(stmt) != SQLITE_ROW) return sqlite::last_error(db.get());
  return sqlite3_column_int64(stmt, 0) != 0;
}

PendingEntry& MetadataStore::Impl::entry(Slot slot) {
  return (slot < covered ? held : fresh)[slot];
}

const PendingEntry* MetadataStore::Impl::find_pending(Slot slot) const {
  const PendingMap& map = slot < covered ? held : fresh;
  if (map.empty()) return nullptr;
  const auto it = map.find(slot);
  return it == map.end() ? nullptr : &it->second;
}

Status MetadataStore::Impl::after_change() {
  return fresh.size() >= METADATA_FLUSH_THRESHOLD ? flush_fresh() : Ok();
}

// Runs body inside one write transaction: all of it reaches the file, or none.
template <class Body>
Status MetadataStore::Impl::in_transaction(const Body& body) {
  TAMIX_TRY(sqlite::run(db.get(), begin.get()));
  Status status = body();
  if (status.ok()) status = sqlite::run(db.get(), commit.get());
  if (!status.ok() && !sqlite3_get_autocommit(db.get())) {
    (void)sqlite::run(db.get(), rollback.get());
  }
  return status;
}

Status MetadataStore::Impl::flush_fresh() {
  if (fresh.empty()) return Ok();
  TAMIX_TRY(in_transaction([&] { return write_pending(fresh); }));
  fresh.clear();  // keeps the buckets for the next batch
  return Ok();
}

// Held changes and new rows (held ones first: ascending slots) with the point, in one
// transaction.
Status MetadataStore::Impl::commit_with(const CommitPoint& point) {
  const bool moves = committed != point;
  if (held.empty() && fresh.empty() && !moves) return Ok();
  TAMIX_TRY(in_transaction([&]() -> Status {
    TAMIX_TRY(write_pending(held));
    TAMIX_TRY(write_pending(fresh));
    return moves ? put_commit_point(point) : Ok();
  }));
  held = PendingMap();  // a large batch of deletes need not keep its buckets
  fresh.clear();
  committed = point;
  covered = point.vector_count;
  return Ok();
}

Status MetadataStore::Impl::put_state(const char* key, uint64_t value) {
  sqlite3_stmt* stmt = put_state_row.get();
  if (sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC) != SQLITE_OK ||
      sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(value)) != SQLITE_OK) {
    return sqlite::last_error(db.get());
  }
  return sqlite::run(db.get(), stmt);
}

Status MetadataStore::Impl::put_commit_point(const CommitPoint& point) {
  TAMIX_TRY(put_state(kVectorCountKey, point.vector_count));
  return put_state(kVectorStoreKey, point.vector_store);
}

Status MetadataStore::Impl::delete_rows_from(Slot n) {
  for (sqlite3_stmt* stmt : {delete_ids_from.get(), delete_texts_from.get()}) {
    if (sqlite3_bind_int64(stmt, 1, key_of(n)) != SQLITE_OK) return sqlite::last_error(db.get());
    TAMIX_TRY(sqlite::run(db.get(), stmt));
  }
  return Ok();
}

// Ascending keys let SQLite append to the rightmost leaf, which keeps the pages full.
Status MetadataStore::Impl::write_pending(const PendingMap& changes) {
  flush_order.clear();
  for (const auto& [slot, entry] : changes) flush_order.emplace_back(slot, &entry);
  std::sort(flush_order.begin(), flush_order.end());
  for (const auto& [slot, entry] : flush_order) {
    if (entry->text) TAMIX_TRY(put(put_text.get(), slot, *entry->text));
    if (entry->id_change == IdChange::kSet) TAMIX_TRY(put(put_id.get(), slot, entry->id));
    if (entry->id_change == IdChange::kRemove) {
      if (sqlite3_bind_int64(delete_id.get(), 1, key_of(slot)) != SQLITE_OK) {
        return sqlite::last_error(db.get());
      }
      TAMIX_TRY(sqlite::run(db.get(), delete_id.get()));
    }
  }
  return Ok();
}

Status MetadataStore::Impl::put(sqlite3_stmt* stmt, Slot slot, const std::string& text) {
  // data() of a std::string is never null, so an empty text binds as '' rather than NULL.
  if (sqlite3_bind_int64(stmt, 1, key_of(slot)) != SQLITE_OK ||
      sqlite3_bind_text64(stmt, 2, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8) !=
          SQLITE_OK) {
    return sqlite::last_error(db.get());
  }
  return sqlite::run(db.get(), stmt);
}

Result<std::optional<std::string>> MetadataStore::Impl::read_text(Slot slot) {
  std::lock_guard<std::mutex> guard(read_mutex);
  return read_text_locked(slot);
}

Result<std::optional<std::string>> MetadataStore::Impl::read_text_locked(Slot slot) {
  sqlite3_stmt* stmt = get_text.get();
  sqlite::ResetOnExit reset(stmt);
  if (sqlite3_bind_int64(stmt, 1, key_of(slot)) != SQLITE_OK) return sqlite::last_error(db.get());
  switch (sqlite3_step(stmt)) {
    case SQLITE_ROW:
      return std::optional<std::string>(column_string(stmt, 0));
    case SQLITE_DONE:
      return std::optional<std::string>();
    default:
      return sqlite::last_error(db.get());
  }
}

Result<IdList> MetadataStore::Impl::read_ids(std::vector<Slot>* damaged) {
  std::lock_guard<std::mutex> guard(read_mutex);
  sqlite3_stmt* stmt = list_ids.get();
  sqlite::ResetOnExit reset(stmt);
  IdList ids;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const auto slot = static_cast<Slot>(sqlite3_column_int64(stmt, 0));
    const bool text = sqlite3_column_type(stmt, 1) == SQLITE_TEXT;  // before any conversion
    std::string id = column_string(stmt, 1);
    if (text && valid_utf8(id)) {
      ids.emplace_back(slot, std::move(id));
    } else if (damaged) {
      damaged->push_back(slot);
    }
  }
  if (rc != SQLITE_DONE) return sqlite::last_error(db.get());
  // Signed key order puts the slots from 2^63 up first; move them behind the others.
  auto small = std::partition_point(ids.begin(), ids.end(),
                                    [](const auto& p) { return p.first >= kFirstNegativeKey; });
  std::rotate(ids.begin(), small, ids.end());
  return ids;
}

Result<std::unique_ptr<MetadataStore>> MetadataStore::open(const std::string& dir,
                                                           const FirstPoint& first_point) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += "metadata.db";
  auto impl = std::make_unique<Impl>();
  TAMIX_TRY(impl->connect(path).Context("Failed to create metadata.db"));
  Status read = impl->create_tables(first_point);
  if (read.ok()) read = impl->read_commit_point();
  if (!read.ok()) {
    impl->leave_as_found();
    return std::move(read).error();
  }
  impl->fresh.reserve(METADATA_FLUSH_THRESHOLD);
  impl->flush_order.reserve(METADATA_FLUSH_THRESHOLD);
  return std::unique_ptr<MetadataStore>(new MetadataStore(std::move(impl)));
}

MetadataStore::MetadataStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MetadataStore::~MetadataStore() {
  if (!impl_->left_as_found) (void)impl_->flush_fresh();
}

Status MetadataStore::insert(Slot slot, std::string_view text) {
  impl_->entry(slot).text.emplace(text);
  return impl_->after_change();
}

Status MetadataStore::insert(Slot slot, std::string_view id, std::string_view text) {
  PendingEntry& entry = impl_->entry(slot);
  entry.text.emplace(text);
  entry.id.assign(id);
  entry.id_change = IdChange::kSet;
  return impl_->after_change();
}

Status MetadataStore::remove_id(Slot slot) {
  PendingEntry& entry = impl_->entry(slot);
  entry.id.clear();
  entry.id_change = IdChange::kRemove;
  return impl_->after_change();
}

void MetadataStore::leave_as_found() { impl_->leave_as_found(); }

Status MetadataStore::flush() { return impl_->flush_fresh(); }

Status MetadataStore::commit(const CommitPoint& point) { return impl_->commit_with(point); }

std::optional<CommitPoint> MetadataStore::committed() const { return impl_->committed; }

Result<uint64_t> MetadataStore::stored_slots() const {
  sqlite3* c = impl_->db.get();
  TAMIX_ASSIGN_OR_RETURN(
      sqlite::Statement query,
      sqlite::prepare(c, "SELECT count(*) FROM (SELECT slot FROM ids UNION SELECT slot FROM "
                         "metadata)"));
  std::lock_guard<std::mutex> guard(impl_->read_mutex);
  if (sqlite3_step(query.get()) != SQLITE_ROW) return sqlite::last_error(c);
  return static_cast<uint64_t>(sqlite3_column_int64(query.get(), 0));
}

void MetadataStore::discard_from(Slot n) {
  std::erase_if(impl_->fresh, [n](const auto& e) { return e.first >= n; });
}

Status MetadataStore::settle(Slot n) {
  if (!impl_->held.empty() || !impl_->fresh.empty()) {
    return Error::Message("metadata.db: cannot settle with changes pending");
  }
  TAMIX_ASSIGN_OR_RETURN(const bool any, impl_->has_rows_from(n));
  if (any) TAMIX_TRY(impl_->in_transaction([&] { return impl_->delete_rows_from(n); }));
  impl_->covered = n;
  return Ok();
}

Result<std::optional<std::string>> MetadataStore::get(Slot slot) const {
  const PendingEntry* pending = impl_->find_pending(slot);
  if (pending && pending->text) return std::optional<std::string>(*pending->text);
  return impl_->read_text(slot);
}

void MetadataStore::read_texts(std::span<const Slot> slots,
                               const std::function<void(size_t, Error)>& failed) const {
  // A cursor steps over at most this many rows to the next slot; further, a lookup of its
  // own is cheaper. Stepping costs a fraction of a lookup, which descends the tree again.
  constexpr Slot kMaxStep = 8;
  constexpr Slot kLastKey = static_cast<Slot>(std::numeric_limits<sqlite3_int64>::max());
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> guard(impl.read_mutex);
  sqlite3_stmt* cursor = impl.texts_from.get();
  sqlite::ResetOnExit reset(cursor);
  int rc = SQLITE_MISUSE;  // the cursor's state: no row read yet
  Slot row = 0;            // the row's slot while rc is SQLITE_ROW
  const auto step = [&] {
    rc = sqlite3_step(cursor);
    if (rc == SQLITE_ROW) row = static_cast<Slot>(sqlite3_column_int64(cursor, 0));
  };
  for (size_t i = 0; i < slots.size(); ++i) {
    const Slot slot = slots[i];
    const PendingEntry* pending = impl.find_pending(slot);
    if (pending && pending->text) continue;
    // Keys from 2^63 up sort below the others in the file: looked up one by one.
    if (slot <= kLastKey && rc == SQLITE_ROW && row < slot && slot - row <= kMaxStep) {
      while (rc == SQLITE_ROW && row < slot) step();
    }
    const bool found = rc == SQLITE_ROW && row >= slot && slot <= kLastKey;
    if (!found && !(rc == SQLITE_DONE && slot <= kLastKey)) {
      sqlite3_reset(cursor);
      rc = SQLITE_MISUSE;
      if (slot <= kLastKey && sqlite3_bind_int64(cursor, 1, key_of(slot)) == SQLITE_OK) step();
    }
    if (rc == SQLITE_DONE || (rc == SQLITE_ROW && row > slot)) continue;  // no text
    if (rc == SQLITE_ROW && sqlite3_column_text(cursor, 1) != nullptr) continue;
    // A failure, or what the cursor cannot tell: the lookup of its own decides.
    rc = SQLITE_MISUSE;
    auto text = impl.read_text_locked(slot);
    if (!text.ok()) failed(i, std::move(text).error());
  }
}

Result<std::vector<std::pair<Slot, std::string>>> MetadataStore::list_ids(
    std::vector<Slot>* damaged) const {
  TAMIX_ASSIGN_OR_RETURN(IdList stored, impl_->read_ids(damaged));
  return apply_pending_ids(std::move(stored), impl_->held, impl_->fresh);
}

Status MetadataStore::check_text(std::string_view text) const {
  const auto limit = static_cast<uint64_t>(sqlite3_limit(impl_->db.get(), SQLITE_LIMIT_LENGTH, -1));
  const uint64_t max = limit > kRowOverhead ? limit - kRowOverhead : 0;
  if (text.size() <= max) return Ok();
  return Error::InvalidInput("Metadata text of " + std::to_string(text.size()) +
                             " bytes exceeds the metadata store's limit of " + std::to_string(max) +
                             " bytes");
}

}  // namespace tamix
