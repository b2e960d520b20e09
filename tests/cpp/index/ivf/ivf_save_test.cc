#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "index/ivf/ivf_files.h"
#include "index/ivf/ivf_index.h"
#include "index/ivf/ivf_index_test_util.h"
#include "support/file_stamps.h"

namespace tamix {
namespace {

namespace fs = std::filesystem;
using testing::ClusteredVectors;
using testing::Lists;
using testing::PartitionOfEach;
using testing::Search;
using testing::ReadFile;
using testing::TestStore;
using testing::Train;

class IvfSaveTest : public ::testing::Test {
 protected:
  std::string Ivf() const { return db_.dir.file("ivf"); }
  std::string Part(uint64_t i) const {
    return Ivf() + "/partitions/part_" + std::to_string(i) + ".graph";
  }
  size_t Files() const {
    return std::distance(fs::directory_iterator(Ivf() + "/partitions"), fs::directory_iterator());
  }

  // The files a save writes, replaces, creates or removes.
  std::set<std::string> SaveChanges(IvfIndex& index) const {
    testing::Backdate(Ivf());
    const auto before = testing::Stamps(Ivf());
    EXPECT_TRUE(index.save(Ivf()).ok());
    return testing::Changed(before, testing::Stamps(Ivf()));
  }

  // A partition file as written: the graph image, then the training.
  static std::vector<uint8_t> PartFile(const IvfIndex& index, uint64_t i) {
    std::vector<uint8_t> bytes = index.partition(i).serialize();
    append_u64(bytes, index.training());
    return bytes;
  }

  TestStore db_{ClusteredVectors(400, 8, 4, 21), 8};
};

TEST_F(IvfSaveTest, UntrainedDefaultIndexWritesEmptyFiles) {
  IvfIndex index(IvfConfig{});
  ASSERT_TRUE(index.save(Ivf()).ok());
  const std::vector<uint8_t> config = ReadFile(Ivf() + "/config.json");
  EXPECT_EQ(std::string(config.begin(), config.end()), ivf_config_json(IvfConfig{}).value());
  EXPECT_EQ(std::count(config.begin(), config.end(), '\n'), 14);
  EXPECT_EQ(ReadFile(Ivf() + "/centroids.bin").size(), 8u + 16u);
  EXPECT_EQ(Files(), 100u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(fs::file_size(Part(i)), 62u + 8u) << i;
}

TEST_F(IvfSaveTest, OnlyChangedPartitionsAreWrittenAgain) {
  IvfIndex index(Lists(4, 1));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  for (uint64_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ReadFile(Part(i)), PartFile(index, i));
  }
  EXPECT_TRUE(SaveChanges(index).empty());

  const std::vector<float> added(8, 5.0f);
  ASSERT_TRUE(db_.store->add(std::vector<VectorView>{added}).ok());
  ASSERT_TRUE(db_.store->flush().ok());
  index.place_new(*db_.store, db_.store->count());
  const std::set<std::string> changed = SaveChanges(index);
  ASSERT_EQ(changed.size(), 1u);  // the one partition that took it
  EXPECT_EQ(changed.begin()->rfind("partitions/part_", 0), 0u);
}

TEST_F(IvfSaveTest, FilesBeyondTheListsAreRemoved) {
  fs::create_directories(Ivf() + "/partitions");
  for (const char* name : {"part_3.graph", "part_4.graph", "part_12.graph", "part_012.graph"}) {
    testing::WriteFile(Ivf() + "/partitions/" + name, {1, 2, 3});
  }
  IvfIndex index(Lists(4, 1));
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(fs::file_size(Part(3)), 62u + 8u);
  EXPECT_FALSE(fs::exists(Part(4)));
  EXPECT_FALSE(fs::exists(Part(12)));
  EXPECT_TRUE(fs::exists(Ivf() + "/partitions/part_012.graph"));  // not a name we write
}

TEST_F(IvfSaveTest, RemovedPartitionsDirectoryIsWrittenAgain) {
  IvfIndex index(Lists(4, 1));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  fs::remove_all(Ivf() + "/partitions");
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(Files(), 4u);
  EXPECT_EQ(ReadFile(Part(2)), PartFile(index, 2));
}

TEST_F(IvfSaveTest, PartitionWriteErrorsAreReportedAndRetried) {
  IvfIndex index(Lists(4, 1));
  Train(index, db_.store.get());
  fs::create_directories(Part(2) + ".tmp");  // blocks that write
  Status failed = index.save(Ivf());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "Failed to write IVF partitions");
  fs::remove(Part(2) + ".tmp");
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(ReadFile(Part(2)), PartFile(index, 2));
}

class IvfLoadTest : public IvfSaveTest {
 protected:
  static std::vector<std::pair<Slot, float>> Pairs(const std::vector<ScoredIndex>& hits) {
    std::vector<std::pair<Slot, float>> out;
    for (const ScoredIndex& h : hits) out.emplace_back(h.slot, h.value);
    return out;
  }
  Result<std::unique_ptr<IvfIndex>> Load(const IvfConfig& config, uint64_t limit) {
    return IvfIndex::load(Ivf(), config, ivf_config_json(config).value(), 8, limit);
  }
};

TEST_F(IvfLoadTest, SavedIndexLoadsAnswersAlikeAndRewritesNothing) {
  IvfIndex index(Lists(4, 2));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  auto loaded = Load(Lists(4, 2), 400).value();
  EXPECT_EQ(loaded->training(), index.training());
  for (Slot q : {0, 57, 399}) {
    EXPECT_EQ(Pairs(Search(*loaded, db_.vectors[q], 10, *db_.store)),
              Pairs(Search(index, db_.vectors[q], 10, *db_.store)));
  }
  EXPECT_TRUE(SaveChanges(*loaded).empty());
}

TEST_F(IvfLoadTest, MembersAboveTheLimitGoAndUnheldSlotsArePlaced) {
  IvfIndex index(Lists(4, 2));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  const uint64_t p = PartitionOfEach(index, 400)[7];
  std::filesystem::remove(Part(p));  // as if the crash came before this file was written
  IvfIndex empty(Lists(4, 2));
  std::vector<uint8_t> bytes = empty.partition(p).serialize();
  append_u64(bytes, index.training());
  testing::WriteFile(Part(p), bytes);

  auto loaded = Load(Lists(4, 2), 300).value();
  EXPECT_FALSE(loaded->partition(p).contains(7));
  loaded->place_new(*db_.store, 400);
  EXPECT_EQ(PartitionOfEach(*loaded, 400), PartitionOfEach(index, 400));
}

TEST_F(IvfLoadTest, FilesThatDisagreeAreRefused) {
  IvfIndex index(Lists(4, 2));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  const std::vector<uint8_t> part1 = ReadFile(Part(1));
  EXPECT_EQ(Load(Lists(4, 3), 400).error().message(),
            "config.json was not written with centroids.bin");
  EXPECT_EQ(IvfIndex::load(Ivf(), Lists(4, 2), ivf_config_json(Lists(4, 2)).value(), 9, 400)
                .error()
                .message(),
            "centroids.bin is not 4 centroids of 9 floats");
  Train(index, db_.store.get());  // a second training, saved only in part
  ASSERT_TRUE(index.save(Ivf()).ok());
  testing::WriteFile(Part(1), part1);
  EXPECT_EQ(Load(Lists(4, 2), 400).error().chain(),
            (std::vector<std::string>{"part_1.graph",
                                      "written by another training than centroids.bin"}));
}

}  // namespace
}  // namespace tamix
