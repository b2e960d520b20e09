#include "index/ivf/ivf_files.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "index/ivf/ivf_config.h"
#include "support/file_stamps.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace tamix {
namespace {

using testing::ReadFile;

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  return {bytes.begin(), bytes.end()};
}

TEST(IvfConfigTest, DefaultAndConfiguredDifferOnlyInIterations) {
  const IvfConfig d;
  EXPECT_EQ(d.nlist, 100u);
  EXPECT_EQ(d.nprobe, 10u);
  EXPECT_EQ(d.max_iterations, 20u);
  EXPECT_EQ(std::bit_cast<uint32_t>(d.tolerance), 0x3A83126Fu);
  EXPECT_EQ(d.hnsw_config, HnswConfig{});
  EXPECT_EQ(std::bit_cast<uint32_t>(d.hnsw_config.ml), 0x3EB8AA3Bu);

  IvfConfig c = IvfConfig::configured(100, 10);
  EXPECT_EQ(c.max_iterations, 10u);
  c.max_iterations = 20;
  EXPECT_EQ(c, d);
}

TEST(IvfConfigTest, ListCountsAboveTheLimitAreRefused) {
  EXPECT_TRUE(check_nlist(0).ok());
  EXPECT_TRUE(check_nlist(kMaxIvfLists).ok());
  Status refused = check_nlist(kMaxIvfLists + 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), Error::Kind::kInvalidInput);
  EXPECT_EQ(refused.error().message(), "nlist must be at most 65536, got 65537");
}

TEST(IvfFilesTest, ConfigJsonIsFifteenPrettyLines) {
  EXPECT_EQ(ivf_config_json(IvfConfig{}).value(),
            "{\n"
            "  \"nlist\": 100,\n"
            "  \"nprobe\": 10,\n"
            "  \"max_iterations\": 20,\n"
            "  \"tolerance\": 0.001,\n"
            "  \"hnsw_config\": {\n"
            "    \"m\": 16,\n"
            "    \"m_max\": 16,\n"
            "    \"m_max0\": 32,\n"
            "    \"ef_construction\": 200,\n"
            "    \"ef_search\": 50,\n"
            "    \"ml\": 0.36067376,\n"
            "    \"use_quantization\": false\n"
            "  }\n"
            "}");
}

TEST(IvfFilesTest, ConfigJsonRefusesNonFiniteFloatsAndWritesWholeOnesAsFloats) {
  IvfConfig c = IvfConfig::configured(4, 2);
  c.hnsw_config.ml = 2.0f;
  const std::string json = ivf_config_json(c).value();
  EXPECT_NE(json.find("\"nlist\": 4,\n  \"nprobe\": 2,\n  \"max_iterations\": 10,\n"),
            std::string::npos);
  EXPECT_NE(json.find("\"ml\": 2.0,"), std::string::npos);
  c.tolerance = NAN;
  EXPECT_EQ(ivf_config_json(c).error().message(), "config.json: tolerance is not finite");
  c.tolerance = 0.5f;
  c.hnsw_config.ml = INFINITY;
  EXPECT_EQ(ivf_config_json(c).error().message(), "config.json: ml is not finite");
}

TEST(IvfFilesTest, CentroidsImageIsCountThenLengthPrefixedRows) {
  EXPECT_EQ(centroids_image(IvfCentroids{}), std::vector<uint8_t>(8, 0));

  const IvfCentroids two(2, 3, {1.0f, -2.0f, 0.5f, 0.0f, 3.0f, 1e-3f});
  const std::vector<uint8_t> image = centroids_image(two);
  ASSERT_EQ(image.size(), 8u + 2 * (8 + 4 * 3));
  const std::vector<uint8_t> head{2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 16), head);
  float second_row[3];
  std::memcpy(second_row, image.data() + 8 + 20 + 8, sizeof second_row);
  EXPECT_EQ(second_row[2], 1e-3f);
  EXPECT_EQ(image[28], 3);  // the second row's length
}

// "centroids.bin" as written: the image, the training and the hash of its config.json.
std::vector<uint8_t> Stamped(const IvfCentroids& centroids, uint64_t training,
                             const IvfConfig& config) {
  std::vector<uint8_t> bytes = centroids_image(centroids);
  append_u64(bytes, training);
  append_u64(bytes, ivf_config_hash(ivf_config_json(config).value()));
  return bytes;
}

using Names = std::set<std::string>;

class IvfFilesWriteTest : public ::testing::Test {
 protected:
  Status Write(const IvfConfig& config, const IvfCentroids& centroids, uint64_t training = 0) {
    return write_ivf_files(dir_, config, centroids, training, written_);
  }

  // The files a write changed.
  Names Written(const IvfConfig& config, const IvfCentroids& centroids, uint64_t training = 0) {
    testing::Backdate(dir_);
    const auto before = testing::Stamps(dir_);
    EXPECT_TRUE(Write(config, centroids, training).ok());
    return testing::Changed(before, testing::Stamps(dir_));
  }

  testing::TempDir tmp_;
  std::string dir_ = tmp_.str();
  IvfFilesWritten written_;
};

TEST_F(IvfFilesWriteTest, WritesEachFileOnlyWhenItsContentChanged) {
  const IvfCentroids untrained;
  ASSERT_TRUE(Write(IvfConfig{}, untrained).ok());
  EXPECT_EQ(ReadText(tmp_.file("config.json")), ivf_config_json(IvfConfig{}).value());
  EXPECT_EQ(ReadFile(tmp_.file("centroids.bin")), Stamped(untrained, 0, IvfConfig{}));
  EXPECT_FALSE(std::filesystem::exists(tmp_.file("config.json.tmp")));

  EXPECT_EQ(Written(IvfConfig{}, IvfCentroids{}), Names{});

  const IvfCentroids trained(1, 2, {1.0f, 2.0f});
  EXPECT_EQ(Written(IvfConfig{}, trained, 7), Names{"centroids.bin"});
  EXPECT_EQ(ReadFile(tmp_.file("centroids.bin")), Stamped(trained, 7, IvfConfig{}));

  // Another configuration changes the hash the centroids carry: both files again.
  std::filesystem::remove(tmp_.file("config.json"));
  EXPECT_EQ(Written(IvfConfig::configured(4, 2), trained, 7),
            (Names{"centroids.bin", "config.json"}));
  EXPECT_EQ(ReadText(tmp_.file("config.json")),
            ivf_config_json(IvfConfig::configured(4, 2)).value());
}

TEST_F(IvfFilesWriteTest, FailuresCarryTheirContextAndAreRetried) {
  std::filesystem::create_directory(tmp_.file("config.json.tmp"));  // blocks the config write
  Status failed = Write(IvfConfig{}, IvfCentroids{});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "Failed to write IVF config");
  EXPECT_EQ(failed.error().kind(), Error::Kind::kSystem);
  EXPECT_FALSE(std::filesystem::exists(tmp_.file("centroids.bin")));

  std::filesystem::remove(tmp_.file("config.json.tmp"));
  std::filesystem::create_directory(tmp_.file("centroids.bin.tmp"));
  failed = Write(IvfConfig{}, IvfCentroids{});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "Failed to write IVF centroids");

  std::filesystem::remove(tmp_.file("centroids.bin.tmp"));
  ASSERT_TRUE(Write(IvfConfig{}, IvfCentroids{}).ok());
  EXPECT_EQ(ReadFile(tmp_.file("centroids.bin")), Stamped(IvfCentroids{}, 0, IvfConfig{}));
}

}  // namespace
}  // namespace tamix
