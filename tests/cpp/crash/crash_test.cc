// Kills a child at every file write, sync, truncation and rename of one step (through an
// LD_PRELOAD shim) and checks what a reopen finds: every id on the vector it was added
// with, every completed persist there, and each batch whole or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "crash/crash_harness.h"
#include "engine/modes.h"
#include "engine/tamix.h"
#include "index/hnsw/hnsw_index.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

// The ids a reopen finds, after checking the vector count (by default: no vector counted
// without an id) and that ids sit on their own vectors and texts (all of a small database, a
// sample of a large).
IdSet Reopen(const std::string& dir, bool check_hits = true,
             std::optional<uint64_t> count = std::nullopt) {
  auto db = Tamix::open(dir, crash::kDim, "flat").value();
  std::vector<std::string> found = db->get_all_ids();
  EXPECT_EQ(db->count(), count.value_or(found.size()));
  EXPECT_TRUE(db->persist().ok());
  std::sort(found.begin(), found.end());
  const size_t step = std::max<size_t>(1, found.size() / 200);
  for (size_t i = 0; check_hits && i < found.size(); ++i) {
    if (i % step != 0 && i + 1 != found.size()) continue;
    const std::string& id = found[i];
    const std::vector<float> v = crash::vector_for(id);
    auto hits = db->search(v, 1).value();
    EXPECT_TRUE(!hits.empty() && hits[0].id == id && hits[0].score > 0.99f) << id;
    EXPECT_NE(db->get(id).value().value_or("").find("\"of\":\"" + id + "\""), std::string::npos);
  }
  return {found.begin(), found.end()};
}

class CrashTest : public ::testing::Test {
 protected:
  // Runs the step once per change call, each time on a fresh copy of `base`, until a run
  // completes; `check` sees each outcome and what the reopen found.
  template <class Check>
  void KillAtEveryChange(const std::string& prefix, size_t n, const std::string& how,
                         const Check& check, const std::string& mode = "flat") {
    long runs = 0;
    for (long at = 1;; ++at, ++runs) {
      const std::string dir = dir_.file("run" + std::to_string(at));
      std::filesystem::copy(base(), dir, std::filesystem::copy_options::recursive);
      const Outcome outcome = RunDriver(dir, prefix, n, how, at, mode);
      ASSERT_NE(outcome, Outcome::kFailed) << "at " << at;
      check(outcome, dir);
      std::filesystem::remove_all(dir);
      if (outcome == Outcome::kCompleted) break;
    }
    EXPECT_GT(runs, 3);
  }

  std::string base() const { return dir_.file("base"); }

  testing::TempDir dir_;
};

// A killed add of 1,500 leaves id rows beyond the vectors; a later persist killed anywhere
// must never hand those ids to the new vectors.
TEST_F(CrashTest, IdsOfAnUnpersistedBatchNeverReachLaterVectors) {
  ASSERT_EQ(RunDriver(base(), "old", 1500, "no-persist", 0), Outcome::kCompleted);
  ASSERT_TRUE(Reopen(base()).empty());
  const IdSet fresh = Ids("new", 10);
  KillAtEveryChange("new", 10, "persist", [&](Outcome outcome, const std::string& dir) {
    const IdSet found = Reopen(dir);
    if (outcome == Outcome::kCompleted) {
      EXPECT_EQ(found, fresh);
    }
    EXPECT_TRUE(found.empty() || found == fresh) << found.size() << " ids";
  });
}

TEST_F(CrashTest, PersistedBatchIsWholeOrAbsentAndEarlierOnesStay) {
  ASSERT_EQ(RunDriver(base(), "p", 100, "persist", 0), Outcome::kCompleted);
  const IdSet before = Ids("p", 100), after = Union(before, Ids("b", 1500));
  KillAtEveryChange("b", 1500, "persist", [&](Outcome outcome, const std::string& dir) {
    const IdSet found = Reopen(dir);
    if (outcome == Outcome::kCompleted) {
      EXPECT_EQ(found, after);
    }
    EXPECT_TRUE(found == before || found == after) << found.size() << " ids";
  });
}

TEST_F(CrashTest, ReleaseCommitsTheBatchWholeOrNotAtAll) {
  ASSERT_EQ(RunDriver(base(), "p", 100, "persist", 0), Outcome::kCompleted);
  const IdSet before = Ids("p", 100), after = Union(before, Ids("r", 1200));
  KillAtEveryChange("r", 1200, "release", [&](Outcome outcome, const std::string& dir) {
    const IdSet found = Reopen(dir);
    if (outcome == Outcome::kCompleted) {
      EXPECT_EQ(found, after);
    }
    EXPECT_TRUE(found == before || found == after) << found.size() << " ids";
  });
}

// Deletions of committed ids become durable only with a commit point, also when the metadata
// store commits 1,000 new rows on its own: killed before the persist, an update (a delete,
// then an add of the same ids) leaves every id on its old vector.
TEST_F(CrashTest, UnpersistedUpdateLeavesEveryIdOnItsOldVector) {
  ASSERT_EQ(RunDriver(base(), "a", 1200, "persist", 0), Outcome::kCompleted);
  for (size_t n : {100, 500, 1100}) {
    const std::string dir = dir_.file("update" + std::to_string(n));
    std::filesystem::copy(base(), dir, std::filesystem::copy_options::recursive);
    ASSERT_EQ(RunDriver(dir, "a", n, "update", 0), Outcome::kCompleted);
    EXPECT_EQ(Reopen(dir), Ids("a", 1200)) << n;
  }
}

TEST_F(CrashTest, PersistedDeleteIsWholeOrAbsent) {
  ASSERT_EQ(RunDriver(base(), "a", 1200, "persist", 0), Outcome::kCompleted);
  const IdSet before = Ids("a", 1200);
  IdSet after = before;
  for (const std::string& id : Ids("a", 1100)) after.erase(id);
  KillAtEveryChange("a", 1100, "delete", [&](Outcome outcome, const std::string& dir) {
    const IdSet found = Reopen(dir, true, 1200);
    if (outcome == Outcome::kCompleted) {
      EXPECT_EQ(found, after);
    }
    EXPECT_TRUE(found == before || found == after) << found.size() << " ids";
  });
}

// The adaptive conversion to SQ8 runs inside the persist that crosses the threshold: killed
// anywhere, the database opens on the flat store or on the complete SQ8 store.
TEST_F(CrashTest, MigrationLeavesTheFlatStoreOrTheWholeSq8Store) {
  ASSERT_EQ(RunDriver(base(), "p", AUTO_TUNE_SQ8_THRESHOLD - 1, "persist", 0), Outcome::kCompleted);
  const IdSet before = Ids("p", AUTO_TUNE_SQ8_THRESHOLD - 1), after = Union(before, Ids("x", 1));
  KillAtEveryChange(
      "x", 1, "persist",
      [&](Outcome outcome, const std::string& dir) {
        const IdSet found = Reopen(dir);
        if (outcome == Outcome::kCompleted) {
          EXPECT_EQ(found, after);
          EXPECT_TRUE(std::filesystem::exists(dir + "/sq8_vectors.bin"));
          EXPECT_FALSE(std::filesystem::exists(dir + "/.sq8-migration"));
        }
        EXPECT_TRUE(found == before || found == after) << found.size() << " ids";
      },
      "auto");
}

// A new database is committed from its creation: its first persist, killed anywhere from
// the constructor on, leaves the batch whole or absent in whichever store it was made with.
TEST_F(CrashTest, FirstPersistOfANewDatabaseIsWholeOrAbsent) {
  std::filesystem::create_directories(base());
  // Past the metadata store's own flush for one store; the others keep the test short.
  for (const auto& [mode, n] : {std::pair{"flat", 1500}, {"new_sq8", 300}, {"new_pq", 300}}) {
    SCOPED_TRACE(mode);
    const IdSet all = Ids("n", n);
    KillAtEveryChange(
        "n", n, "persist",
        [&](Outcome outcome, const std::string& dir) {
          const IdSet found = Reopen(dir, std::string(mode) != "new_pq");  // PQ ranks roughly
          if (outcome == Outcome::kCompleted) {
            EXPECT_EQ(found, all);
          }
          EXPECT_TRUE(found.empty() || found == all) << found.size() << " ids";
        },
        mode);
  }
}

// A long add syncs the SQ8 store by itself; killed after that, the database still holds
// what its commit point covers, and both constructors open it to the same state.
TEST_F(CrashTest, Sq8ThresholdFlushCommitsNothing) {
  ASSERT_EQ(RunDriver(base(), "s", 60500, "no-persist", 0, "new_sq8"), Outcome::kCompleted);
  {
    const std::vector<float> v = crash::vector_for("t");
    const std::vector<VectorView> training{v};
    auto db = Tamix::new_scalar_quantized(base(), crash::kDim, training).value();
    EXPECT_EQ(db->count(), 0u);
    EXPECT_TRUE(db->get_all_ids().empty());
  }
  EXPECT_TRUE(Reopen(base()).empty());
}

// The add whose own threshold flush fails reports it and is taken back (checked by the
// driver); nothing of it is found after a crash.
TEST_F(CrashTest, Sq8AddWhoseThresholdFlushFailsLeavesNothing) {
  ASSERT_EQ(RunDriver(base(), "s", 60500, "sync-fails", 0, "new_sq8"), Outcome::kCompleted);
  EXPECT_TRUE(Reopen(base()).empty());
}

// The lines of the shim's change log that name a file below dir.
std::vector<std::string> ChangesBelow(const std::string& log, const std::string& dir) {
  std::ifstream in(log);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (line.find(" " + dir + "/") != std::string::npos) out.push_back(line);
  }
  return out;
}

TEST_F(CrashTest, PersistWithNothingNewWritesAndSyncsNothing) {
  const std::string log = dir_.file("changes.log");
  ASSERT_EQ(RunDriver(base(), "p", 100, "persist", 0, "flat", {"TAMIX_LOG_CHANGES=" + log}),
            Outcome::kCompleted);
  const std::vector<std::string> first = ChangesBelow(log, base());
  EXPECT_TRUE(std::any_of(first.begin(), first.end(),
                          [](const std::string& line) { return line.starts_with("fsync "); }));
  std::filesystem::remove(log);
  ASSERT_EQ(
      RunDriver(base(), "q", 100, "persist-twice", 0, "flat", {"TAMIX_LOG_CHANGES=" + log}),
      Outcome::kCompleted);
  EXPECT_EQ(ChangesBelow(log, base()), std::vector<std::string>{});
}

// The graph file is replaced whole: killed anywhere, it holds the old graph or the new one.
TEST_F(CrashTest, GraphFileIsTheOldOrTheNewGraph) {
  ASSERT_EQ(RunDriver(base(), "p", 200, "persist", 0, "new_hnsw"), Outcome::kCompleted);
  const IdSet before = Ids("p", 200), after = Union(before, Ids("g", 100));
  KillAtEveryChange(
      "g", 100, "persist",
      [&](Outcome outcome, const std::string& dir) {
        std::ifstream in(dir + "/hnsw.graph", std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        auto graph = HnswIndex::deserialize(bytes);
        ASSERT_TRUE(graph.ok()) << graph.error().message();
        const uint64_t nodes = graph.value()->node_count();
        EXPECT_TRUE(nodes == 200 || nodes == 300) << nodes;
        // A graph behind the commit is loaded and caught up, not refused as damaged.
        ::testing::internal::CaptureStderr();
        const IdSet found = Reopen(dir);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        // Never a graph ahead of the commit: opening one drops the uncommitted nodes, and
        // with them links that kept committed nodes reachable.
        if (outcome == Outcome::kCompleted || nodes == 300) {
          EXPECT_EQ(found, after);
        }
        EXPECT_TRUE(found == before || found == after) << found.size() << " ids";
      },
      "hnsw");
}

}  // namespace
}  // namespace tamix
