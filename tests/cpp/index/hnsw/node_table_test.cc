// The node table's lists: what a search reads after lists shrink, grow and are reset.
#include <gtest/gtest.h>

#include <vector>

#include "index/hnsw/node_table.h"

namespace tamix::hnsw {
namespace {

constexpr uint32_t kCapacity = 8;

class NodeTableTest : public testing::Test {
 protected:
  NodeTableTest() : table_(kCapacity, kCapacity) {}

  NodeId AddNode(uint32_t lists) {
    const NodeId id = table_.add(Slot{1000} + table_.size());
    table_.reset(id, lists, lists - 1);
    return id;
  }
  std::vector<NodeId> Read(NodeId id, uint64_t layer) const {
    std::vector<NodeId> out(kCapacity);
    out.resize(table_.list(id, layer).read(out.data()));
    return out;
  }

  NodeTable table_;
};

TEST_F(NodeTableTest, ShrunkListThenAppendedReadsNoStaleTail) {
  const NodeId id = AddNode(2);
  for (uint64_t layer : {0, 1}) {
    const NeighborList list = table_.list(id, layer);
    list.assign(std::vector<NodeId>{5, 6, 7, 8}, {});
    list.assign(std::vector<NodeId>{9}, std::vector<float>{0.5f}, 1);
    list.append(0, 0.25f);  // id 0 is stored as 1, never as the end
    EXPECT_EQ(Read(id, layer), (std::vector<NodeId>{9, 0}));
    EXPECT_EQ(list.count(), 2u);
    EXPECT_FLOAT_EQ(list.distance(1), 0.25f);
  }
}

TEST_F(NodeTableTest, FullListReadsToCapacityAndResetEmptiesIt) {
  const NodeId id = AddNode(1);
  const std::vector<NodeId> full{1, 2, 3, 4, 5, 6, 7, 8};
  table_.list(id, 0).assign(full, {});
  EXPECT_EQ(Read(id, 0), full);
  table_.reset(id, 1, 0);
  EXPECT_TRUE(Read(id, 0).empty());
}

TEST_F(NodeTableTest, EntriesInLaterSegmentsStartEmptyAndKeepTheirOwnLists) {
  std::vector<NodeId> ids;
  for (int i = 0; i < 300; ++i) ids.push_back(AddNode(1));  // past the first segments
  for (NodeId id : ids) EXPECT_TRUE(Read(id, 0).empty());
  for (NodeId id : ids) table_.list(id, 0).assign(std::vector<NodeId>{id, id + 1}, {});
  for (NodeId id : ids) EXPECT_EQ(Read(id, 0), (std::vector<NodeId>{id, id + 1}));
  EXPECT_EQ(table_.slot(ids[299]), Slot{1299});
}

}  // namespace
}  // namespace tamix::hnsw
