// FlatStorage: raw float vectors in "vectors.bin" (24-byte header, then one record of
// `dimension` little-endian floats per slot). Appends are buffered; reads go through a map
// renewed only by flush, so records appended since the last flush are not readable yet.
// Keeps each record's norm and cosine factor in memory. Not thread-safe for writes; get_vector, norm and
// search may run from many threads at once while nothing writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "storage/record_file.h"

namespace tamix {

class FlatStorage {
 public:
  static constexpr char kFileName[] = "vectors.bin";

  // Opens or creates dir/"vectors.bin" with at most `limit` of its records, so records no
  // commit covers cost the open nothing. An existing file is only read here: nothing on
  // disk changes until the store first writes.
  static Result<std::unique_ptr<FlatStorage>> open(const std::string& dir, uint64_t dimension,
                                                   uint64_t limit = kAllRecords);

  // The records an open would find in dir's file, without creating or changing anything: 0
  // for a missing file; a header the open would refuse is refused the same way.
  static Result<uint64_t> stored_count(const std::string& dir, uint64_t dimension);

  // The destructor flushes (errors ignored), closes and unmaps.
  ~FlatStorage();

  FlatStorage(const FlatStorage&) = delete;
  FlatStorage& operator=(const FlatStorage&) = delete;

  // Appends the vectors; returns their slots in input order. All lengths are checked first;
  // a failed append leaves the store as it was.
  Result<std::vector<Slot>> add(std::span<const VectorView> vectors);

  // Forgets the records from slot n on (a batch taken back, or records no commit covers).
  void forget_from(Slot n);

  // The stored vector of a slot, read in place from the map; none when not readable.
  std::optional<VectorView> get_vector(Slot slot) const;

  // The Euclidean norm of a slot's vector; NaN when it cannot be normalised (see
  // core/norm.h), which only a damaged file or a foreign writer produces.
  float norm(Slot slot) const { return norms_[slot]; }
  // Every slot's norm, slot-indexed: for loops that would pay a call per record.
  const float* norms() const { return norms_.data(); }

  // Exact top-k by cosine score 1 - d/2 over the live slots (all when live is null), best
  // first. Never fails.
  std::vector<ScoredIndex> search(VectorView query, uint64_t k,
                                  const LiveSlots* live = nullptr) const;

  // out[i] = the search's score of slots[i] for a query of `dimension` floats; the slots
  // ascending, each readable. A scan that goes on past slots[count - 1] may pass `ahead`:
  // rows are then also fetched that many bytes on (see cos_distances), the scores unchanged.
  void cosine_scores(VectorView query, const Slot* slots, size_t count, float* out,
                     size_t ahead = 0) const;

  // Makes every appended record durable and readable; does nothing when clean.
  Status flush();
  // Makes them readable and starts the write; the next flush waits for it.
  Status prepare_flush();

  uint64_t count() const;
  uint64_t dimension() const { return dimension_; }
  uint64_t persisted_count() const;
  // Slots below this are readable through the current mapping (get_vector succeeds).
  uint64_t readable_count() const;
  // Chunks of the search whose every slot is readable (kSearchChunkSize slots each).
  uint64_t searchable_chunks() const;
  // The first record of the mapping; records lie `dimension` floats apart. Null when
  // nothing is readable.
  const float* records() const;

 private:
  FlatStorage(std::unique_ptr<RecordFile> file, uint64_t dimension);

  std::unique_ptr<RecordFile> file_;
  uint64_t dimension_;
  // Appends the norm and cosine factor of each vector (null: an unreadable record).
  void add_terms(size_t count, const std::function<const float*(size_t)>& vector);

  std::vector<float> norms_;         // one per slot below count()
  std::vector<double> cos_factors_;  // cos_factor of each slot's vector, one per slot
};

}  // namespace tamix
