// Sq8Storage: vectors as 8-bit scalar codes in "sq8_vectors.bin" (24-byte header, then
// `dimension` code bytes per slot), with their quantizer in "scalar_quantizer.bin".
// Appends are buffered; records become readable at the next flush. Keeps each record's
// decoded norm in memory. Not thread-safe for writes; norm and search may run from many
// threads at once while nothing writes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "quant/scalar_quantizer.h"
#include "storage/record_file.h"

namespace tamix {

class Sq8Storage {
 public:
  static constexpr char kFileName[] = "sq8_vectors.bin";
  static constexpr char kQuantizerFileName[] = "scalar_quantizer.bin";

  // Unsynced code bytes beyond which an add flushes by itself (0.9 × 8 MiB).
  static constexpr uint64_t kFlushThreshold = 7'549'747;

  // Opens or creates dir/"sq8_vectors.bin". While it holds no records, a quantizer is
  // trained on `training` (non-empty, all of length `dimension`) and replaces
  // "scalar_quantizer.bin"; once it holds records, the stored quantizer is loaded instead
  // and no training runs, so codes are never read with another quantizer. Nothing on disk
  // changes before the code file's header has been validated. At most `limit` records are
  // opened.
  static Result<std::unique_ptr<Sq8Storage>> create(const std::string& dir, uint64_t dimension,
                                                    std::span<const VectorView> training,
                                                    uint64_t limit = kAllRecords);

  // Opens the store a directory already holds, with its stored quantizer; never trains.
  static Result<std::unique_ptr<Sq8Storage>> open(const std::string& dir, uint64_t dimension,
                                                  uint64_t limit = kAllRecords);

  // The records an open would find in dir's file, without creating or changing anything: 0
  // for a missing file; a header the open would refuse is refused the same way.
  static Result<uint64_t> stored_count(const std::string& dir, uint64_t dimension);

  // The destructor flushes (errors ignored), closes and unmaps.
  ~Sq8Storage();

  Sq8Storage(const Sq8Storage&) = delete;
  Sq8Storage& operator=(const Sq8Storage&) = delete;

  // Encodes and appends the vectors; returns their slots in input order. All lengths are
  // checked first; a failed append leaves the store as it was. Past kFlushThreshold
  // unsynced bytes the store flushes; that flush failing fails the add, which is taken back.
  Result<std::vector<Slot>> add(std::span<const VectorView> vectors);

  // Forgets the records from slot n on (a batch taken back, or records no commit covers).
  void forget_from(Slot n);

  // The Euclidean norm of a slot's decoded vector; NaN when it cannot be normalised (see
  // core/norm.h), which only bounds near the float limits produce.
  float norm(Slot slot) const { return norms_[slot]; }

  // Exact top-k by the cosine similarity of the query and each readable record's decoded
  // vector, over the live slots (all when live is null), best first. A query of another
  // length is scored over the common prefix. Fails with "No mmap available" when records
  // are counted but nothing is mapped.
  Result<std::vector<ScoredIndex>> search(VectorView query, uint64_t k,
                                          const LiveSlots* live = nullptr) const;

  // Makes every appended record durable and readable; does nothing when clean.
  Status flush();
  // Makes them readable and starts the write; the next flush waits for it.
  Status prepare_flush();

  uint64_t count() const { return file_->count(); }
  uint64_t persisted_count() const { return file_->persisted_count(); }
  uint64_t dimension() const { return dimension_; }
  // Slots readable through the mapping, from 0.
  uint64_t readable_count() const { return file_->readable_count(); }
  // The first record of the mapping; records lie `dimension` bytes apart. Null when
  // nothing is mapped.
  const uint8_t* records() const { return file_->records(); }
  const ScalarQuantizer& quantizer() const { return quantizer_; }

 private:
  Sq8Storage(std::unique_ptr<RecordFile> file, ScalarQuantizer quantizer, uint64_t dimension);
  // Opens the code file with the quantizer `choose` gives for the file's stored count.
  template <class Choose>
  static Result<std::unique_ptr<Sq8Storage>> open_with(const std::string& dir, uint64_t dimension,
                                                       uint64_t limit, const Choose& choose);

  float decoded_norm(std::span<const uint8_t> codes) const;

  std::unique_ptr<RecordFile> file_;
  ScalarQuantizer quantizer_;
  uint64_t dimension_;
  std::vector<float> norms_;  // one per slot below count()
};

}  // namespace tamix
