// Ordering of scored results and the top-k selection every search ends with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/types.h"

namespace tamix {

// Best first: a before b when a's score is greater, equal scores by ascending slot. A total
// order with NaN scores last, so a selection is the same however the work was split, and no
// selection or sort can run outside its list whatever the scores are.
inline bool ScoreBefore(const ScoredIndex& a, const ScoredIndex& b) {
  const bool a_nan = std::isnan(a.value);
  const bool b_nan = std::isnan(b.value);
  if (a_nan || b_nan) return a_nan == b_nan ? a.slot < b.slot : b_nan;
  if (a.value != b.value) return a.value > b.value;
  return a.slot < b.slot;
}

// The at most k best entries of the list (taken over and reused), best first.
std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> list, uint64_t k);

// Bounded keeper of the k best entries offered to it; the worst kept sits at the front.
class TopKeeper {
 public:
  explicit TopKeeper(uint64_t k) : k_(k) {
    heap_.reserve(static_cast<size_t>(std::min<uint64_t>(k, kInitialCapacity)));
  }

  // Most offers lose to the worst entry kept: that test stays inline and cheap.
  void offer(ScoredIndex s) {
    if (full_ && s.value < worst_) return;
    keep(s);
  }

  const std::vector<ScoredIndex>& entries() const { return heap_; }

 private:
  static constexpr uint64_t kInitialCapacity = 4096;  // a huge k grows the heap as it fills

  void keep(ScoredIndex s) {
    if (heap_.size() < k_) {
      heap_.push_back(s);
      std::push_heap(heap_.begin(), heap_.end(), ScoreBefore);
    } else if (k_ > 0 && ScoreBefore(s, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), ScoreBefore);
      heap_.back() = s;
      std::push_heap(heap_.begin(), heap_.end(), ScoreBefore);
    }
    full_ = k_ > 0 && heap_.size() == k_;
    // A NaN worst makes every comparison false: every offer then takes the full test.
    if (full_) worst_ = heap_.front().value;
  }

  uint64_t k_;
  bool full_ = false;
  float worst_ = 0;
  std::vector<ScoredIndex> heap_;
};

}  // namespace tamix
