// The testing seam: the graph conversion that no mode selects, reachable only from here.
#pragma once

#include "core/result.h"

namespace tamix {

class Tamix;

// Builds a graph over every stored vector and makes it answer the searches.
Status migrate_to_hnsw_for_testing(Tamix& db);

}  // namespace tamix
