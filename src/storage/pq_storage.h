// PqStorage: vectors as product-quantization codes in "quantized_vectors.bin" (24-byte
// header, then m code bytes per slot), with the quantizer in "codebooks.bin". Appends are
// buffered; records become readable at the next flush. Not thread-safe for writes;
// get_codes and search may run from many threads at once while nothing writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "quant/product_quantizer.h"
#include "storage/record_file.h"

namespace tamix {

class PqStorage {
 public:
  static constexpr char kFileName[] = "quantized_vectors.bin";
  static constexpr char kCodebooksFileName[] = "codebooks.bin";

  // Opens or creates dir/"quantized_vectors.bin" for vectors of the training vectors'
  // length d. While the file holds no records, a quantizer is trained on `training` (which
  // prints its progress) and replaces "codebooks.bin"; once it holds records, the stored
  // quantizer is loaded instead and no training runs, so codes are never read with
  // another quantizer. The header is validated (magic, version, data type 2, dimension d)
  // before anything on disk changes.
  // At most `limit` records are opened.
  static Result<std::unique_ptr<PqStorage>> create(const std::string& dir,
                                                   std::span<const VectorView> training,
                                                   uint64_t limit = kAllRecords);

  // Opens the store a directory already holds for vectors of length d, with its stored
  // quantizer; never trains.
  static Result<std::unique_ptr<PqStorage>> open(const std::string& dir, uint64_t d,
                                                 uint64_t limit = kAllRecords);

  // The records an open would find in dir's file, without creating or changing anything: 0
  // for a missing file; a header the open would refuse is refused the same way.
  static Result<uint64_t> stored_count(const std::string& dir, uint64_t d);

  // The destructor flushes (errors ignored), closes and unmaps.
  ~PqStorage();

  PqStorage(const PqStorage&) = delete;
  PqStorage& operator=(const PqStorage&) = delete;

  // Encodes and appends the vectors (each read up to d floats, never past its end);
  // returns their slots in input order. A failed append leaves the store as it was.
  Result<std::vector<Slot>> add(std::span<const VectorView> vectors);

  // Forgets the records from slot n on (a batch taken back, or records no commit covers).
  void forget_from(Slot n);

  // The code bytes of a slot, read in place from the map; none when not readable.
  std::optional<std::span<const uint8_t>> get_codes(Slot slot) const { return file_->record(slot); }

  // Top-k by the mean sub-space similarity -Σ table[i][code_i] / m over the readable live
  // slots (all when live is null), best first. Never fails.
  std::vector<ScoredIndex> search(VectorView query, uint64_t k,
                                  const LiveSlots* live = nullptr) const;

  // Makes every appended record durable and readable; does nothing when clean.
  Status flush();
  // Makes them readable and starts the write; the next flush waits for it.
  Status prepare_flush();

  uint64_t count() const { return file_->count(); }
  uint64_t persisted_count() const { return file_->persisted_count(); }
  uint64_t code_size() const { return quantizer_.m(); }
  uint64_t dimension() const { return quantizer_.dimension(); }
  // Slots readable through the mapping, from 0.
  uint64_t readable_count() const { return file_->readable_count(); }
  // The first record of the mapping; records lie code_size() bytes apart. Null when
  // nothing is mapped.
  const uint8_t* records() const { return file_->records(); }
  const ProductQuantizer& quantizer() const { return quantizer_; }

 private:
  PqStorage(std::unique_ptr<RecordFile> file, ProductQuantizer quantizer);
  // Opens the code file with the quantizer `choose` gives for the file's stored count.
  template <class Choose>
  static Result<std::unique_ptr<PqStorage>> open_with(const std::string& dir, uint64_t d,
                                                      uint64_t limit, const Choose& choose);

  std::unique_ptr<RecordFile> file_;
  ProductQuantizer quantizer_;
};

}  // namespace tamix
