#include "core/file_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/mmap.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

class FileIoTest : public ::testing::Test {
 protected:
  testing::TempDir tmp_;
  std::string dir_ = tmp_.str();
  std::string path_ = tmp_.file("f.bin");
};

TEST_F(FileIoTest, WritesAtOffsetsWithoutMovingOtherBytes) {
  UniqueFd fd = file_io::open_read_write(path_).value();
  std::vector<uint8_t> a(100, 0xAA), b(10, 0xBB);
  ASSERT_TRUE(file_io::write_all_at(fd.get(), a, 0).ok());
  ASSERT_TRUE(file_io::write_all_at(fd.get(), b, 40).ok());
  ASSERT_TRUE(file_io::full_sync(fd.get()).ok());
  EXPECT_EQ(file_io::size(fd.get()).value(), 100u);
  MemoryMap map = MemoryMap::map(fd.get(), 100, MemoryMap::Access::kReadOnly).value();
  EXPECT_EQ(map.bytes()[39], 0xAA);
  EXPECT_EQ(map.bytes()[40], 0xBB);
  EXPECT_EQ(map.bytes()[50], 0xAA);
}

TEST_F(FileIoTest, SystemErrorsCarryTheirOsText) {
  EXPECT_FALSE(file_io::exists(dir_ + "/missing/x"));
  auto r = file_io::open_read_write(dir_ + "/missing/x");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Error::Kind::kSystem);
  EXPECT_EQ(r.error().message(), "No such file or directory (os error 2)");
}

TEST_F(FileIoTest, WholeFileWritesReplaceAtomicallyAndLeaveNoTemporary) {
  const std::vector<uint8_t> first(10, 1), second{7, 8, 9};
  ASSERT_TRUE(file_io::write_file_atomically(path_, first).ok());
  ASSERT_TRUE(file_io::write_file_atomically(path_, second).ok());
  EXPECT_EQ(file_io::read_file(path_, 3).value(), second);
  EXPECT_FALSE(file_io::exists(path_ + ".tmp"));

  // A failed write leaves the file as it was.
  std::filesystem::create_directory(path_ + ".tmp");
  EXPECT_FALSE(file_io::write_file_atomically(path_, first).ok());
  EXPECT_EQ(file_io::read_file(path_, 3).value(), second);
}

TEST_F(FileIoTest, ReadFileRefusesFilesAboveTheLimit) {
  ASSERT_TRUE(file_io::write_file_atomically(path_, std::vector<uint8_t>(100, 5)).ok());
  auto r = file_io::read_file(path_, 99);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Error::Kind::kSerialization);
  EXPECT_EQ(file_io::read_file(path_ + "x", 99).error().os_code(), ENOENT);
}

}  // namespace
}  // namespace tamix
