// Many exact searches over one flat store at once. Each block of stored vectors is read
// once for all queries, so a batch costs about one pass over memory instead of one per
// query. Results equal FlatStorage::search per query (up to the order of equal scores).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/types.h"
#include "storage/flat_storage.h"

namespace tamix {

std::vector<std::vector<ScoredIndex>> flat_search_batch(const FlatStorage& store,
                                                        std::span<const VectorView> queries,
                                                        uint64_t k,
                                                        const LiveSlots* live = nullptr);

}  // namespace tamix
