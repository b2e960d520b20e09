// Power loss: only what was synced survives. The shim records each file's content at its
// syncs and each directory's entries at its directory syncs; the test rebuilds the worst
// image from those records (a name never synced into its directory is gone, a file never
// synced is empty) and reopens it through each constructor that applies. An image changes
// only at a sync, so killing the driver before each sync in turn, and letting it end once,
// reaches every image there is.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "crash/crash_harness.h"
#include "engine/tamix.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

namespace fs = std::filesystem;

struct Entry {
  char type;  // 'f' or 'd'
  uint64_t ino;
  unsigned gen;
  std::string name;
};
using Listing = std::vector<Entry>;

uint64_t InodeOf(const fs::path& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// The tree when the driver starts counts as synced: the inodes of `run` (each gen 0), with
// each file's content kept in the same place under `pristine`.
struct Baseline {
  std::map<uint64_t, Listing> dirs;
  std::map<uint64_t, fs::path> files;

  void Record(const fs::path& run, const fs::path& pristine) {
    Listing& listing = dirs[InodeOf(run)];
    for (const auto& e : fs::directory_iterator(run)) {
      const std::string name = e.path().filename().string();
      const uint64_t ino = InodeOf(e.path());
      if (e.is_directory()) {
        listing.push_back({'d', ino, 0, name});
        Record(e.path(), pristine / name);
      } else {
        listing.push_back({'f', ino, 0, name});
        files[ino] = pristine / name;
      }
    }
  }
};

std::optional<std::string> ShimRecord(const fs::path& power, char kind, uint64_t ino,
                                      unsigned gen) {
  std::ifstream in(
      power / (std::string(1, kind) + "_" + std::to_string(ino) + "_" + std::to_string(gen)),
      std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Listing ParseListing(const std::string& text) {
  Listing out;
  std::istringstream lines(text);
  for (Entry e; lines >> e.type >> e.ino >> e.gen && lines.get() == ' ';) {
    std::getline(lines, e.name);
    out.push_back(e);
  }
  return out;
}

// Writes at `out` the worst image of the directory (ino, gen) that a power loss leaves.
void Rebuild(const Baseline& base, const fs::path& power, uint64_t ino, unsigned gen,
             const fs::path& out) {
  fs::create_directory(out);
  Listing listing;
  if (auto text = ShimRecord(power, 'd', ino, gen)) {
    listing = ParseListing(*text);
  } else if (gen == 0 && base.dirs.contains(ino)) {
    listing = base.dirs.at(ino);
  }
  for (const Entry& e : listing) {
    const fs::path to = out / e.name;
    if (e.type == 'd') {
      Rebuild(base, power, e.ino, e.gen, to);
    } else if (auto content = ShimRecord(power, 'f', e.ino, e.gen)) {
      std::ofstream(to, std::ios::binary) << *content;
    } else if (e.gen == 0 && base.files.contains(e.ino)) {
      fs::copy_file(base.files.at(e.ino), to);
    } else {
      std::ofstream(to, std::ios::binary);
    }
  }
}

int LastAcknowledged(const fs::path& progress) {
  std::ifstream in(progress);
  int step = 0;
  for (int s; in >> s;) step = s;
  return step;
}

struct Scenario {
  const char* mode;       // the driver's: a mode word, or new_sq8 / new_pq
  bool prior;             // a commit of 100 ids before the steps
  bool updates = false;   // the driver's updates instead of its steps
  const char* db = "db";  // the database's path below the run's directory
};

std::string Name(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name = info.param.mode;
  name += info.param.prior ? "_with_prior_commit" : "_new";
  if (info.param.updates) name += "_updates";
  if (std::string_view(info.param.db) != "db") name += "_in_new_folders";
  return name;
}

class PowerLossTest : public ::testing::TestWithParam<Scenario> {
 protected:
  // The ids and the vector count after each step of the driver: states_[s] once step s has
  // returned. Deleted vectors stay counted.
  void ExpectStates() {
    if (GetParam().updates) return ExpectUpdateStates();
    State s{GetParam().prior ? Ids("p", 100) : IdSet{}, GetParam().prior ? 100u : 0u};
    states_.push_back(s);
    s = {Union(s.ids, Ids("a", 100)), s.count + 100};
    states_.push_back(s);
    s = {Union(s.ids, Ids("ax", 1200)), s.count + 1200};
    states_.push_back(s);
    for (const IdSet& gone : {Ids("a", 50), Ids("ax", 600)}) {
      for (const std::string& id : gone) s.ids.erase(id);
    }
    states_.push_back(s);
    states_.push_back(s);
  }

  // Deleted ids never come back once persisted; updated ones are on their old vectors or,
  // all of them, on their new ones.
  void ExpectUpdateStates() {
    const IdSet all = Ids("a", 100);
    IdSet kept = all;
    for (const std::string& id : Ids("a", 30)) kept.erase(id);
    states_ = {{{}, 0}, {all, 100}, {kept, 100}, {kept, 170, kept}, {kept, 170, kept}};
  }

  // The constructors that open the image's database, each on its own copy.
  std::vector<std::string> Constructors() const {
    const std::string mode = GetParam().mode;
    if (mode == "flat") return {"flat", "new_hnsw"};
    return {mode, "flat"};
  }

  Result<std::unique_ptr<Tamix>> Open(const std::string& how, const std::string& dir) const {
    const std::vector<float> v = crash::vector_for("training");
    const std::vector<VectorView> training(16, VectorView(v));
    if (how == "new_sq8") return Tamix::new_scalar_quantized(dir, crash::kDim, training);
    if (how == "new_pq") return Tamix::new_product_quantized(dir, crash::kDim, training);
    if (how == "new_hnsw") return Tamix::new_hnsw(dir, crash::kDim, 8, 32, 32);
    return Tamix::open(dir, crash::kDim, how);
  }

  // Opens a copy of the image and checks it against the steps acknowledged before the loss.
  void CheckImage(const fs::path& image, int acknowledged, const std::string& how) {
    SCOPED_TRACE(how);
    const std::string dir = dir_.file("reopened");
    fs::remove_all(dir);
    fs::copy(image, dir, fs::copy_options::recursive);
    ::testing::internal::CaptureStderr();
    auto opened = Open(how, dir + "/" + GetParam().db);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    auto db = std::move(opened).value();
    const std::vector<std::string> all = db->get_all_ids();
    const IdSet ids(all.begin(), all.end());
    const State* state = nullptr;
    for (size_t s = acknowledged; s < states_.size() && !state; ++s) {
      if (states_[s].ids == ids && states_[s].count == db->count()) state = &states_[s];
    }
    ASSERT_TRUE(state) << ids.size() << " ids, count " << db->count() << " after step "
                       << acknowledged;
    if (how == "ivf" && acknowledged >= 1) {
      EXPECT_TRUE(fs::exists(dir + "/db/ivf/partitions/part_3.graph"));
      EXPECT_EQ(errors, "");
    }
    // A product-quantized store ranks roughly; a graph is built by the first search.
    if (how == "new_pq" || how == "new_hnsw") return;
    const size_t step = std::max<size_t>(1, all.size() / 100);
    for (size_t i = 0; i < all.size(); i += step) {
      const std::string& id = all[i];
      auto hits = db->search(state->updated.contains(id) ? crash::updated_vector_for(id)
                                                         : crash::vector_for(id),
                             1);
      ASSERT_TRUE(hits.ok()) << hits.error().message();
      EXPECT_TRUE(!hits.value().empty() && hits.value()[0].id == id) << id;
    }
  }

  struct State {
    IdSet ids;
    uint64_t count;
    IdSet updated = {};  // ids on their updated vectors
  };
  std::vector<State> states_;
  testing::TempDir dir_;
};

TEST_P(PowerLossTest, EveryImageHoldsTheLastAcknowledgedCommit) {
  ExpectStates();
  const fs::path base = dir_.path() / "base";
  fs::create_directories(base);
  if (GetParam().prior) {
    ASSERT_EQ(
        RunDriver((base / GetParam().db).string(), "p", 100, "persist", 0, GetParam().mode),
        Outcome::kCompleted);
  }
  long runs = 0;
  for (long at = 1;; ++at, ++runs) {
    const fs::path run = dir_.path() / "run", power = dir_.path() / "power",
                   image = dir_.path() / "image", progress = dir_.path() / "progress";
    for (const fs::path& p : {run, power, image, progress}) fs::remove_all(p);
    fs::copy(base, run, fs::copy_options::recursive);
    fs::create_directory(power);
    Baseline baseline;
    baseline.Record(run, base);
    const Outcome outcome =
        RunDriver((run / GetParam().db).string(), "a", 100,
                  GetParam().updates ? "updates" : "steps", at, GetParam().mode,
                  {"TAMIX_POWER_DIR=" + power.string(), "TAMIX_PROGRESS=" + progress.string()});
    ASSERT_NE(outcome, Outcome::kFailed) << "at " << at;
    const int acknowledged = LastAcknowledged(progress);
    if (outcome == Outcome::kCompleted) {
      EXPECT_EQ(acknowledged, 4);
    }
    Rebuild(baseline, power, InodeOf(run), 0, image);
    for (const std::string& how : Constructors()) {
      SCOPED_TRACE("killed before sync " + std::to_string(at));
      CheckImage(image, acknowledged, how);
    }
    if (HasFatalFailure() || outcome == Outcome::kCompleted) break;
  }
  EXPECT_GT(runs, 3);
}

INSTANTIATE_TEST_SUITE_P(, PowerLossTest,
                         ::testing::Values(Scenario{"flat", false}, Scenario{"flat", true},
                                           Scenario{"new_sq8", false}, Scenario{"new_sq8", true},
                                           Scenario{"new_pq", false}, Scenario{"new_pq", true},
                                           Scenario{"ivf", false}, Scenario{"ivf", true},
                                           Scenario{"flat", false, true},
                                           Scenario{"flat", false, false, "a/b/db"}),
                         Name);

}  // namespace
}  // namespace tamix
