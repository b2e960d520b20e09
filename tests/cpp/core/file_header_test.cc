#include "core/file_header.h"

#include <gtest/gtest.h>

#include <string>

namespace tamix {
namespace {

using Bytes = VectorFileHeader::Bytes;

// Header with the given magic, version and dimension; everything else zero.
Bytes Raw(uint32_t magic, uint16_t version, uint16_t dimension) {
  Bytes b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(magic >> (8 * i));
  b[4] = static_cast<uint8_t>(version);
  b[5] = static_cast<uint8_t>(version >> 8);
  b[6] = static_cast<uint8_t>(dimension);
  b[7] = static_cast<uint8_t>(dimension >> 8);
  return b;
}

std::string ValidationError(const Bytes& b) {
  Status s = VectorFileHeader::validate(b);
  return s.ok() ? "ok" : s.error().message();
}

TEST(VectorFileHeaderTest, NewStoreHeaderBytes) {
  Bytes b = VectorFileHeader::compose(1536, 0, DataType::kRaw).value();
  EXPECT_EQ(b, (Bytes{0x51, 0x78, 0x6D, 0x54, 0x04, 0x00, 0x00, 0x06, 0, 0, 0, 0,
                      0,    0,    0,    0,    0x00, 0x00, 0,    0,    0, 0, 0, 0}));
}

TEST(VectorFileHeaderTest, ComposeRoundTripsCountAndDataType) {
  Bytes b = VectorFileHeader::compose(4096, 0x0102030405060708ull, DataType::kPq).value();
  VectorFileHeader h = VectorFileHeader::decode(b);
  EXPECT_EQ(h.magic, VectorFileHeader::kMagic);
  EXPECT_EQ(h.version, 4);
  EXPECT_EQ(h.dimension, 4096);
  EXPECT_EQ(h.count, 0x0102030405060708ull);
  EXPECT_EQ(h.data_type, 2);
  EXPECT_EQ(b[8], 0x08);  // little-endian count
}

TEST(VectorFileHeaderTest, ComposeRefusesDimensionAboveField) {
  auto r = VectorFileHeader::compose(65536, 0, DataType::kRaw);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Dimension 65536 exceeds maximum 65535");
  Bytes widest = VectorFileHeader::compose(65535, 0, DataType::kRaw).value();
  EXPECT_EQ(ValidationError(widest), "Invalid dimension: 65535");
}

TEST(VectorFileHeaderTest, MagicIsCheckedFirst) {
  EXPECT_EQ(ValidationError(Bytes{}), "Invalid magic number: expected 0x546D7851, got 0x00000000");
  EXPECT_EQ(ValidationError(Raw(0x51786D54, 4, 1536)),  // written big-endian
            "Invalid magic number: expected 0x546D7851, got 0x51786D54");
  EXPECT_EQ(ValidationError(Raw(0x546D7852, 99, 1)),
            "Invalid magic number: expected 0x546D7851, got 0x546D7852");
}

TEST(VectorFileHeaderTest, VersionIsCheckedBeforeDimension) {
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 5, 50)), "Unsupported version: 5");
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 0, 128)), "ok");
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 4, 128)), "ok");
}

TEST(VectorFileHeaderTest, DimensionMustLieIn128To4096) {
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 4, 127)), "Invalid dimension: 127");
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 4, 4096)), "ok");
  EXPECT_EQ(ValidationError(Raw(VectorFileHeader::kMagic, 4, 4097)), "Invalid dimension: 4097");
}

TEST(VectorFileHeaderTest, CountDataTypeAndReservedAreNotExamined) {
  Bytes b = VectorFileHeader::compose(768, ~0ull, DataType::kSq8).value();
  b[16] = 0xFF;
  b[23] = 0xFF;
  EXPECT_EQ(ValidationError(b), "ok");
}

}  // namespace
}  // namespace tamix
