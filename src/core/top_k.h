// Ordering of scored results and the top-k selection every search ends with.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/types.h"

namespace tamix {

// Best first: a before b when a's score is greater. A total order, NaN scores last, so no
// selection or sort can run outside its list whatever the scores are.
inline bool ScoreBefore(const ScoredIndex& a, const ScoredIndex& b) {
  const bool a_nan = std::isnan(a.value);
  const bool b_nan = std::isnan(b.value);
  if (a_nan || b_nan) return !a_nan && b_nan;
  return a.value > b.value;
}

// The at most k best entries of the list (taken over and reused), best first.
std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> list, uint64_t k);

}  // namespace tamix
