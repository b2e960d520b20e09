// The records a matrix product ranks near the top for one query, with their approximate
// cosines. A record can be in the exact top k only if its approximation lies within `margin`
// of the k-th best approximation, so once k entries are known everything below that floor is
// dropped. Not thread-safe: one list per query and worker.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/types.h"

namespace tamix {

struct Candidate {
  Slot slot;
  float approx;  // cosine from the matrix product
};

class CandidateList {
 public:
  CandidateList(uint64_t k, double margin);

  // No entry below it can be in the top k; -inf until k entries are known.
  float floor() const { return floor_; }
  bool empty() const { return entries_.empty(); }

  void add(Slot slot, float approx) {
    entries_.push_back({slot, approx});
    if (entries_.size() >= capacity_) prune();
  }

  // Raises the floor to at most the k-th best of these approximations (of records of this
  // query; -inf for none, never NaN), which bounds the k-th best of all its records.
  void raise_floor(std::span<const float> approxes);

  // Takes over another list's entries (the same query seen by another worker).
  void absorb(const CandidateList& other);

  // The entries at or above the final floor, in no particular order.
  const std::vector<Candidate>& finish();

 private:
  void prune();
  void raise_floor_to(float kth);

  uint64_t k_;
  double margin_;
  float floor_ = -std::numeric_limits<float>::infinity();
  size_t capacity_;  // entries held before the next prune
  std::vector<Candidate> entries_;
  std::vector<float> approxes_;  // prune's scratch
};

}  // namespace tamix
