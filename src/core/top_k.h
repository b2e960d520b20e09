// Ordering of scored results and the top-k selection every search ends with.
#pragma once

#include <cstdint>
#include <vector>

#include "core/types.h"

namespace tamix {

// Best first: a before b when a's score is greater. A total order, NaN scores last, so no
// selection or sort can run outside its list whatever the scores are.
bool ScoreBefore(const ScoredIndex& a, const ScoredIndex& b);

// The at most k best entries of the list (taken over and reused), best first.
std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> list, uint64_t k);

}  // namespace tamix
