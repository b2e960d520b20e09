// Test-only access to a store's SQLite connection: inspect the committed rows, count
// commits, lower limits and inject failures. The store keeps owning the connection.
#pragma once

struct sqlite3;

namespace tamix {

class MetadataStore;

class MetadataStoreTestPeer {
 public:
  static sqlite3* connection(const MetadataStore& store);
};

}  // namespace tamix
