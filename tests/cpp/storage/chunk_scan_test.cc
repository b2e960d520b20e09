#include "storage/chunk_scan.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <utility>

namespace tamix {
namespace {

// Many ties: slots of equal residue score alike, so order among them is by slot.
float Score(Slot s) { return -static_cast<float>(s % 7); }

std::vector<Slot> Slots(const std::vector<ScoredIndex>& hits) {
  std::vector<Slot> out;
  for (const ScoredIndex& h : hits) out.push_back(h.slot);
  return out;
}

// The three scans over the same scores must agree.
std::vector<Slot> ScanAll(uint64_t n, uint64_t chunks, uint64_t k, const LiveSlots* live) {
  const auto one = Slots(scan_top_k(n, chunks, k, live, Score));
  const auto by_chunk = scan_top_k_by_chunk(n, chunks, k, live, [](Slot b, Slot e, float* out) {
    for (Slot s = b; s < e; ++s) out[s - b] = Score(s);
  });
  const auto by_slots = scan_top_k_by_slots(n, chunks, k, live, [](const Slot* s, size_t m, float* out) {
    for (size_t i = 0; i < m; ++i) out[i] = Score(s[i]);
  });
  EXPECT_EQ(Slots(by_chunk), one);
  EXPECT_EQ(Slots(by_slots), one);
  return one;
}

TEST(ChunkScanTest, OnlyWhollyReadableChunksAreSearchable) {
  EXPECT_EQ(searchable_chunks(600, 600), 3u);
  EXPECT_EQ(searchable_chunks(600, 512), 2u);
  EXPECT_EQ(searchable_chunks(600, 511), 1u);
  EXPECT_EQ(searchable_chunks(0, 0), 0u);
}

TEST(ChunkScanTest, ChunksCoverTheSlotsOnceEach) {
  std::mutex mu;
  std::set<std::pair<Slot, Slot>> seen;
  scan_top_k_by_chunk(600, 3, 1, nullptr, [&](Slot b, Slot e, float* out) {
    std::fill(out, out + (e - b), 0.0f);
    std::lock_guard<std::mutex> lock(mu);
    seen.insert({b, e});
  });
  EXPECT_EQ(seen, (std::set<std::pair<Slot, Slot>>{{0, 256}, {256, 512}, {512, 600}}));
}

TEST(ChunkScanTest, BestFirstWithTiesByAscendingSlot) {
  EXPECT_EQ(ScanAll(600, 3, 4, nullptr), (std::vector<Slot>{0, 7, 14, 21}));
  EXPECT_EQ(ScanAll(600, 1, 700, nullptr).size(), 256u);  // the chunks given, no more
}

TEST(ChunkScanTest, OnlyLiveSlotsAreScored) {
  LiveSlots live;
  for (Slot s = 1; s < 600; s += 2) live.insert(s);
  EXPECT_EQ(ScanAll(600, 3, 4, &live), (std::vector<Slot>{7, 21, 35, 49}));
  const LiveSlots none;
  EXPECT_TRUE(ScanAll(600, 3, 4, &none).empty());
}

TEST(ChunkScanTest, NothingToFindFindsNothing) {
  EXPECT_TRUE(ScanAll(600, 3, 0, nullptr).empty());
  EXPECT_TRUE(ScanAll(0, 0, 5, nullptr).empty());
  EXPECT_TRUE(ScanAll(600, 0, 5, nullptr).empty());
}

}  // namespace
}  // namespace tamix
