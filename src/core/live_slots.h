// LiveSlots: the slots that may appear in an answer, one bit per slot. Searches skip every
// other slot before scoring it, so deleted or id-less vectors never take a place in a top k.
// Reads are safe from many threads while nothing writes.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "core/types.h"

namespace tamix {

class LiveSlots {
 public:
  bool contains(Slot s) const {
    const uint64_t w = s >> 6;
    return w < words_.size() && ((words_[w] >> (s & 63)) & 1) != 0;
  }

  void insert(Slot s) {
    const uint64_t w = s >> 6;
    if (w >= words_.size()) words_.resize(w + 1, 0);
    const uint64_t bit = uint64_t{1} << (s & 63);
    count_ += (words_[w] & bit) == 0;
    words_[w] |= bit;
  }

  void erase(Slot s) {
    const uint64_t w = s >> 6;
    if (w >= words_.size()) return;
    const uint64_t bit = uint64_t{1} << (s & 63);
    count_ -= (words_[w] & bit) != 0;
    words_[w] &= ~bit;
  }

  // Calls f(slot) for every live slot in [begin, end), ascending.
  template <class F>
  void for_each_in(Slot begin, Slot end, F&& f) const {
    for (Slot w = begin >> 6; w < words_.size() && (w << 6) < end; ++w) {
      uint64_t bits = words_[w];
      if ((w << 6) < begin) bits &= ~uint64_t{0} << (begin & 63);
      if (bits == ~uint64_t{0} && (w << 6) + 64 <= end) {  // the common case: all live
        for (Slot s = w << 6; s < (w << 6) + 64; ++s) f(s);
        continue;
      }
      while (bits != 0) {
        const Slot s = (w << 6) + static_cast<Slot>(std::countr_zero(bits));
        if (s >= end) return;
        f(s);
        bits &= bits - 1;
      }
    }
  }

  uint64_t count() const { return count_; }

 private:
  std::vector<uint64_t> words_;
  uint64_t count_ = 0;
};

}  // namespace tamix
