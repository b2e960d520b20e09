// VectorStore: the one store that holds an engine's vectors, flat, SQ8 or PQ. Its number
// is the commit point's (0 flat, 1 SQ8, 2 PQ). Owns the store; not thread-safe for writes,
// searches may run from many threads at once while nothing writes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "storage/flat_storage.h"
#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"

namespace tamix {

class VectorStore {
 public:
  static constexpr uint64_t kFlat = 0, kSq8 = 1, kPq = 2;

  VectorStore() = default;  // none yet: only until the open made one
  template <class Store>
  explicit VectorStore(std::unique_ptr<Store> store) : store_(std::move(store)) {}

  // The store made, or the error of making it.
  template <class Store>
  static Result<VectorStore> of(Result<std::unique_ptr<Store>> made) {
    if (!made.ok()) return std::move(made).error();
    return VectorStore(std::move(made).value());
  }
  // Opens the store of that number with at most `limit` of its stored records.
  static Result<VectorStore> open(uint64_t number, const std::string& dir, uint64_t dimension,
                                  uint64_t limit = kAllRecords);
  // The records the store of that number holds in dir, found without changing anything.
  static Result<uint64_t> stored_count(uint64_t number, const std::string& dir,
                                       uint64_t dimension);
  static bool known(uint64_t number) { return number <= kPq; }
  // The vector file of the store of that number.
  static const char* file_name(uint64_t number);

  explicit operator bool() const;
  uint64_t number() const { return store_.index(); }
  bool quantized() const { return number() != kFlat; }
  // The flat store, which the graph and IVF read; null for a quantized one.
  FlatStorage* flat() const;

  uint64_t count() const;
  Result<std::vector<Slot>> add(std::span<const VectorView> vectors);
  void forget_from(Slot n);
  Status prepare_flush();
  Status flush();
  // Whether a stored vector can be scored; a damaged file can hold one that cannot.
  bool scorable(Slot slot) const;
  Result<std::vector<ScoredIndex>> search(VectorView query, uint64_t k,
                                          const LiveSlots* live) const;
  Result<std::vector<std::vector<ScoredIndex>>> search_batch(std::span<const VectorView> queries,
                                                             uint64_t k,
                                                             const LiveSlots* live) const;
  // The figures info() prints after the dimension and mode.
  std::string stats() const;
  // Lets go of the store without closing it: a forked child's files are the parent's.
  void abandon();

 private:
  using Stores = std::variant<std::unique_ptr<FlatStorage>, std::unique_ptr<Sq8Storage>,
                              std::unique_ptr<PqStorage>>;
  Stores store_;

  // number() is the alternative's index, and numbers are committed to disk: reordering the
  // alternatives must not change what a stored number means.
  static_assert(std::is_same_v<std::variant_alternative_t<kFlat, Stores>,
                               std::unique_ptr<FlatStorage>> &&
                std::is_same_v<std::variant_alternative_t<kSq8, Stores>,
                               std::unique_ptr<Sq8Storage>> &&
                std::is_same_v<std::variant_alternative_t<kPq, Stores>, std::unique_ptr<PqStorage>>);
};

}  // namespace tamix
