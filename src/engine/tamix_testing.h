// Test-only access to an engine: its metadata store, to inject failures into its commits,
// and the conversion the adaptive rule never selects.
#pragma once

#include "engine/tamix.h"

namespace tamix {

class TamixTestPeer {
 public:
  static MetadataStore& metadata(Tamix& db) { return *db.metadata_; }
  static Status migrate_to_hnsw(Tamix& db) { return db.migrate_to_hnsw(); }
};

}  // namespace tamix
