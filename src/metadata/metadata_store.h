// MetadataStore: per-slot metadata texts and caller ids in "metadata.db" (SQLite), behind
// write-behind maps. Changes split at the slots the last commit point covers:
//  - held changes (covered slots: deletes and updates of committed ids) are written only
//    with the next commit point, so an open after a crash finds each committed row as that
//    point left it;
//  - the rows of new slots are written with the next point too, and also once 1000 of them
//    are pending, on flush and in the destructor: an open drops rows that no point covers.
// Held changes never count toward the 1000 and no flush reads them. Holds the file's
// exclusive lock for its whole life. Writes need exclusive access; get, list_ids and
// check_text may run concurrently with each other.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

inline constexpr size_t METADATA_FLUSH_THRESHOLD = 1000;

// What a completed persist covered: the vector slots [0, vector_count) of the store that
// holds the vectors (vector_store, numbered by the engine). Committed in the same
// transaction as the ids, after the vectors were synced, so ids and vectors become durable
// together; rows at or above it belong to no committed vector.
struct CommitPoint {
  uint64_t vector_count = 0;
  uint64_t vector_store = 0;
  bool operator==(const CommitPoint&) const = default;
};

// The commit point of a new file, asked for inside the transaction that creates its tables
// (so no crash leaves a new file without it); none leaves the file without a point.
using FirstPoint = std::function<std::optional<CommitPoint>()>;

class MetadataStore {
 public:
  // Opens or creates dir/"metadata.db"; refused with "Failed to create metadata.db" when
  // the file is locked by another store (this process or another) or is not a database.
  // A refused open leaves an existing file and its WAL as they were.
  static Result<std::unique_ptr<MetadataStore>> open(const std::string& dir,
                                                     const FirstPoint& first_point = nullptr);

  // The destructor writes the pending rows of new slots, never the held changes (errors
  // ignored; nothing after leave_as_found), closes and releases the lock.
  ~MetadataStore();

  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // Pends the text for the slot; flushes when the 1000th distinct new slot is pending.
  Status insert(Slot slot, std::string_view text);
  // As insert, recording the caller's id of the slot in the same pending entry.
  Status insert(Slot slot, std::string_view id, std::string_view text);
  // Marks the slot's id deleted. A covered slot's row goes with the next commit point; a
  // new slot's with its other pending changes, under insert's threshold rule.
  Status remove_id(Slot slot);

  // Makes the close write nothing and leave metadata.db and its WAL as they are instead of
  // checkpointing: for an open refused after this store opened, which must change nothing
  // it refuses. Whatever is then still pending is lost.
  void leave_as_found();

  // Commits the pending rows of new slots in one transaction; does nothing when there are
  // none. The held changes and the commit point stay as they are.
  Status flush();

  // Commits the held changes, the rows of new slots and a new commit point in one
  // transaction; does nothing when nothing is pending and the point is unchanged. The point's
  // vector_count is the covered boundary from then on.
  Status commit(const CommitPoint& point);

  // The last committed point; none in a file written before commit points existed.
  std::optional<CommitPoint> committed() const;

  // The slots with a stored row of either table, pending changes not counted.
  Result<uint64_t> stored_slots() const;

  // Takes back the pending rows of new slots n and above (a batch that failed); held changes
  // stay.
  void discard_from(Slot n);

  // Deletes the stored rows of slots n and above, which no commit point covers; the rows
  // below n count as covered from then on. Refused while anything is pending, which could
  // then fall on the wrong side of the boundary.
  Status settle(Slot n);

  // The slot's text, pending first, then the file; none when the slot has none.
  Result<std::optional<std::string>> get(Slot slot) const;

  // Reads the texts of these slots (ascending) as get() would, one by one, and calls
  // failed(i, error) for each slots[i] whose read fails.
  void read_texts(std::span<const Slot> slots,
                  const std::function<void(size_t, Error)>& failed) const;

  // Every (slot, id) pair, pending changes applied, in ascending slot order. A stored id
  // that is not UTF-8 text (never written here) is left out, its slot added to *damaged.
  Result<std::vector<std::pair<Slot, std::string>>> list_ids(
      std::vector<Slot>* damaged = nullptr) const;

  // Refuses a text (or id) too long for the store, before anything is pended.
  Status check_text(std::string_view text) const;

 private:
  struct Impl;
  explicit MetadataStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamix
