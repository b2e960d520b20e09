#include "core/bincode.h"

#include <gtest/gtest.h>

#include <vector>

namespace tamix::bincode {
namespace {

TEST(BincodeTest, WritesLittleEndianAndReadsBack) {
  Writer w;
  w.u64(0x0102030405060708);
  const float f[] = {1.0f, -2.0f};
  w.f32s(f);
  const std::vector<uint8_t> bytes = std::move(w).take();
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[11], 0x3F);  // 1.0f = 0x3F800000

  Reader r(bytes);
  EXPECT_EQ(r.u64().value(), 0x0102030405060708u);
  float back[2];
  ASSERT_TRUE(r.f32s(back).ok());
  EXPECT_EQ(back[1], -2.0f);
  EXPECT_TRUE(r.finish().ok());
}

TEST(BincodeTest, OverrunsAndTrailingBytesAreErrors) {
  const std::vector<uint8_t> bytes(12, 0);
  Reader r(bytes);
  ASSERT_TRUE(r.u64().ok());
  EXPECT_FALSE(r.finish().ok());
  auto overrun = r.u64();
  ASSERT_FALSE(overrun.ok());
  EXPECT_EQ(overrun.error().kind(), Error::Kind::kSerialization);
  float two[2];
  EXPECT_FALSE(r.f32s(two).ok());
  EXPECT_EQ(r.remaining(), 4u);  // a failed read consumes nothing
}

}  // namespace
}  // namespace tamix::bincode
