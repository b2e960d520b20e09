// The engine fixture: a database directory, seeded batches and result helpers.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/tamix.h"
#include "support/temp_dir.h"

namespace tamix {

constexpr uint64_t kDim = 128;

class EngineTest : public ::testing::Test {
 protected:
  std::unique_ptr<Tamix> Open(std::string mode = "flat", uint64_t dim = kDim) {
    auto db = Tamix::open(dir_.str(), dim, std::move(mode));
    EXPECT_TRUE(db.ok()) << db.error().message();
    return std::move(db).value();
  }

  // n seeded random vectors with ids "id<i>" (offset by first) and metadata {"i": i}.
  void Add(Tamix& db, size_t n, size_t first = 0) {
    Batch b = MakeBatch(n, first);
    auto res = db.add(b.ids, b.views, b.metas);
    ASSERT_TRUE(res.ok()) << res.error().message();
  }

  struct Batch {
    std::vector<std::string> ids, metas;
    std::vector<std::vector<float>> vecs;
    std::vector<VectorView> views;
  };

  Batch MakeBatch(size_t n, size_t first = 0) {
    Batch b;
    std::mt19937 rng(static_cast<unsigned>(first + 7));
    std::normal_distribution<float> dist;
    for (size_t i = 0; i < n; ++i) {
      b.ids.push_back("id" + std::to_string(first + i));
      b.metas.push_back("{\"i\": " + std::to_string(first + i) + "}");
      std::vector<float> v(kDim);
      for (float& x : v) x = dist(rng);
      b.vecs.push_back(std::move(v));
    }
    for (auto& v : b.vecs) b.views.push_back(v);
    return b;
  }

  static std::vector<std::string> Ids(const std::vector<Hit>& hits) {
    std::vector<std::string> out;
    for (const Hit& h : hits) out.push_back(h.id);
    return out;
  }
  static std::vector<std::string> Ids(const std::vector<BatchHit>& hits) {
    std::vector<std::string> out;
    for (const BatchHit& h : hits) out.push_back(*h.id);
    return out;
  }

  template <class Hits>
  static std::vector<float> Scores(const Hits& hits) {
    std::vector<float> out;
    for (const auto& h : hits) out.push_back(h.score);
    return out;
  }

  testing::TempDir dir_;
};

}  // namespace tamix
