// Many exact searches over one flat store at once. Blocks of queries meet blocks of stored
// vectors in matrix products that only choose candidates; the candidates are scored again
// with the single search's kernel, so every answer is exactly FlatStorage::search's (the same
// slots in the same order, the same scores). Small batches and large k run the single search
// per query instead.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/live_slots.h"
#include "core/types.h"
#include "storage/flat_storage.h"

namespace tamix {

std::vector<std::vector<ScoredIndex>> flat_search_batch(const FlatStorage& store,
                                                        std::span<const VectorView> queries,
                                                        uint64_t k,
                                                        const LiveSlots* live = nullptr);

}  // namespace tamix
