// Test-only access to an engine's metadata store, to inject failures into its commits.
#pragma once

#include "engine/tamix.h"

namespace tamix {

class TamixTestPeer {
 public:
  static MetadataStore& metadata(Tamix& db) { return *db.metadata_; }
};

}  // namespace tamix
