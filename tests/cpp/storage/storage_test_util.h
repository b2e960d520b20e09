// Helpers shared by the storage tests: raw file access and random vectors.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/types.h"
#include "storage/flat_storage.h"
#include "support/temp_dir.h"
#include "support/vectors.h"

namespace tamix::testing_util {

using TempDir = tamix::testing::TempDir;

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline uint64_t HeaderCount(const std::vector<uint8_t>& file) {
  uint64_t count = 0;
  for (int i = 0; i < 8; ++i) count |= uint64_t{file.at(8 + i)} << (8 * i);
  return count;
}

inline void SetHeaderCount(std::vector<uint8_t>& file, uint64_t count) {
  for (int i = 0; i < 8; ++i) file.at(8 + i) = static_cast<uint8_t>(count >> (8 * i));
}

using tamix::testing::RandomVectors;
using tamix::testing::Views;

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

}  // namespace tamix::testing_util
