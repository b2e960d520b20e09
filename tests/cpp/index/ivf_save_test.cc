#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "index/ivf_files.h"
#include "index/ivf_index.h"
#include "index/ivf_index_test_util.h"

namespace tamix {
namespace {

namespace fs = std::filesystem;
using testing_util::ClusteredVectors;
using testing_util::Lists;
using testing_util::ReadFile;
using testing_util::TestStore;
using testing_util::Train;

class IvfSaveTest : public ::testing::Test {
 protected:
  std::string Ivf() const { return db_.dir.file("ivf"); }
  std::string Part(uint64_t i) const {
    return Ivf() + "/partitions/part_" + std::to_string(i) + ".graph";
  }
  size_t Files() const {
    return std::distance(fs::directory_iterator(Ivf() + "/partitions"), fs::directory_iterator());
  }

  TestStore db_{ClusteredVectors(400, 8, 4, 21), 8};
};

TEST_F(IvfSaveTest, UntrainedDefaultIndexWritesEmptyFiles) {
  IvfIndex index(IvfConfig{});
  ASSERT_TRUE(index.save(Ivf()).ok());
  const std::vector<uint8_t> config = ReadFile(Ivf() + "/config.json");
  EXPECT_EQ(std::string(config.begin(), config.end()), ivf_config_json(IvfConfig{}));
  EXPECT_EQ(std::count(config.begin(), config.end(), '\n'), 14);
  EXPECT_EQ(ReadFile(Ivf() + "/centroids.bin"), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(Files(), 100u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(fs::file_size(Part(i)), 62u) << i;
}

TEST_F(IvfSaveTest, OnlyChangedPartitionsAreWrittenAgain) {
  IvfIndex index(Lists(4, 1));
  Train(index, db_.store.get());
  ASSERT_TRUE(index.save(Ivf()).ok());
  for (uint64_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ReadFile(Part(i)), index.partition(i).serialize());
  }
  uint64_t writes = file_io::write_calls();
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(file_io::write_calls(), writes);

  const std::vector<float> added(8, 5.0f);
  ASSERT_TRUE(db_.store->add(std::vector<VectorView>{added}).ok());
  ASSERT_TRUE(db_.store->flush().ok());
  index.place_new(*db_.store, db_.store->count());
  writes = file_io::write_calls();
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(file_io::write_calls(), writes + 1);  // the one partition that took it
}

TEST_F(IvfSaveTest, FilesBeyondTheListsAreRemoved) {
  fs::create_directories(Ivf() + "/partitions");
  for (const char* name : {"part_3.graph", "part_4.graph", "part_12.graph", "part_012.graph"}) {
    testing_util::WriteFile(Ivf() + "/partitions/" + name, {1, 2, 3});
  }
  IvfIndex index(Lists(4, 1));
  ASSERT_TRUE(index.save(Ivf()).ok());
  EXPECT_EQ(fs::file_size(Part(3)), 62u);
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
  EXPECT_EQ(ReadFile(Part(2)), index.partition(2).serialize());
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
  EXPECT_EQ(ReadFile(Part(2)), index.partition(2).serialize());
}

}  // namespace
}  // namespace tamix
