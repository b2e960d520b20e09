// FlatStorage: raw float vectors in "vectors.bin" (24-byte header, then one record of
// `dimension` little-endian floats per slot). Appends are buffered; reads go through a map
// renewed only by flush, so records appended since the last flush are not readable yet.
// Not thread-safe for writes; get_vector and search may run from many threads at once
// while nothing writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

class FlatStorage {
 public:
  // Opens or creates dir/"vectors.bin". An existing file is only read here: nothing on disk
  // changes until the store first writes.
  static Result<std::unique_ptr<FlatStorage>> open(const std::string& dir, uint64_t dimension);

  // Drop: flush (errors ignored), write out what is buffered, close, unmap.
  ~FlatStorage();

  FlatStorage(const FlatStorage&) = delete;
  FlatStorage& operator=(const FlatStorage&) = delete;

  // Appends the vectors; returns their slots in input order. All lengths are checked first.
  Result<std::vector<Slot>> add(std::span<const VectorView> vectors);

  // The stored vector of a slot, read in place from the map; none when not readable.
  std::optional<VectorView> get_vector(Slot slot) const;

  // Exact top-k by cosine score 1 - d/2, best first. Never fails.
  std::vector<ScoredIndex> search(VectorView query, uint64_t k) const;

  // Makes every appended record durable and readable; does nothing when clean.
  Status flush();

  uint64_t count() const;
  uint64_t dimension() const;
  uint64_t persisted_count() const;
  // The search's work items: chunks of SEARCH_CHUNK_SIZE slots, of which only those whose
  // every slot is readable are scanned (a chunk with an unreadable slot yields nothing).
  static constexpr uint64_t SEARCH_CHUNK_SIZE = 256;
  uint64_t searchable_chunks() const;

 private:
  struct Impl;
  explicit FlatStorage(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamix
