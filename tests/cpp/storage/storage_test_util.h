// A flat store for the storage tests, part of it flushed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/types.h"
#include "storage/flat_storage.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/vectors.h"

namespace tamix::testing {

// Opens a flat store in dir holding the vectors, of which only the first `flushed` are
// flushed (readable); the rest are appended after.
inline std::unique_ptr<FlatStorage> StoreWith(const TempDir& dir, uint64_t dim,
                                              const std::vector<std::vector<float>>& vectors,
                                              size_t flushed) {
  auto store = FlatStorage::open(dir.str(), dim).value();
  auto views = Views(vectors);
  std::span<const VectorView> all(views);
  EXPECT_TRUE(store->add(all.first(flushed)).ok());
  EXPECT_TRUE(store->flush().ok());
  EXPECT_TRUE(store->add(all.subspan(flushed)).ok());
  return store;
}

}  // namespace tamix::testing
