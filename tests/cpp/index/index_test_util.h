// Helpers shared by the index tests: flat stores and samples built from literal vectors.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "index/ivf/ivf_sample.h"
#include "storage/flat_storage.h"
#include "support/temp_dir.h"

namespace tamix::testing {

using Vectors = std::vector<std::vector<float>>;

// A flat store in dir holding the vectors, appended but not flushed.
inline std::unique_ptr<FlatStorage> StoreWith(const TempDir& dir, uint64_t dim,
                                              const Vectors& vectors) {
  auto store = FlatStorage::open(dir.str(), dim).value();
  std::vector<VectorView> views(vectors.begin(), vectors.end());
  EXPECT_TRUE(store->add(views).ok());
  return store;
}

// A sample over the vectors themselves; they must outlive it.
inline IvfSample SampleOf(const Vectors& vectors) {
  IvfSample s;
  s.dimension = vectors.empty() ? 0 : vectors[0].size();
  for (const auto& v : vectors) {
    s.rows.push_back(v.data());
    s.squared_norms.push_back(squared_norm_of(v.data(), v.size()));
  }
  return s;
}

// n vectors of dimension d, components uniform in [-scale, scale).
inline Vectors RandomVectors(size_t n, size_t d, uint32_t seed, float scale = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-scale, scale);
  Vectors out(n, std::vector<float>(d));
  for (auto& v : out)
    for (auto& x : v) x = u(rng);
  return out;
}

}  // namespace tamix::testing
