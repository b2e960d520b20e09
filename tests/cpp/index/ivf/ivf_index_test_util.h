// Helpers of the IVF index tests: trained indexes over stores of literal or seeded vectors.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "index/hnsw/hnsw_test_util.h"
#include "index/ivf/ivf_index.h"

namespace tamix::testing {

// Trains the index on the store, keeping its progress lines off the test's output.
inline void Train(IvfIndex& index, FlatStorage* store) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(index.train(store).ok());
  ::testing::internal::GetCapturedStdout();
}

inline IvfConfig Lists(uint64_t nlist, uint64_t nprobe) {
  return IvfConfig::configured(nlist, nprobe);
}

inline std::vector<ScoredIndex> Search(const IvfIndex& index, const std::vector<float>& query,
                                       uint64_t k, const FlatStorage& store,
                                       const LiveSlots* live = nullptr) {
  Result<std::vector<ScoredIndex>> hits = index.search(query, k, &store, live);
  EXPECT_TRUE(hits.ok());
  return hits.ok() ? std::move(hits).value() : std::vector<ScoredIndex>{};
}

inline std::set<Slot> SlotsOf(const std::vector<ScoredIndex>& hits) {
  std::set<Slot> out;
  for (const ScoredIndex& h : hits) out.insert(h.slot);
  return out;
}

// Every slot in exactly one partition, as a member and as a graph node: the partition of
// each slot, or an empty list after a failure has been reported.
inline std::vector<uint64_t> PartitionOfEach(const IvfIndex& index, uint64_t n) {
  std::vector<uint64_t> where(n, UINT64_MAX);
  uint64_t members = 0, nodes = 0;
  for (uint64_t p = 0; p < index.config().nlist; ++p) {
    for (Slot s : index.members(p)) {
      EXPECT_EQ(where.at(s), UINT64_MAX) << "slot " << s << " twice";
      where.at(s) = p;
      EXPECT_TRUE(index.partition(p).node(s).has_value()) << s;
    }
    members += index.members(p).size();
    nodes += index.partition(p).node_count();
  }
  EXPECT_EQ(members, n);
  EXPECT_EQ(nodes, n);
  return where;
}

}  // namespace tamix::testing
