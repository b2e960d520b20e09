// Helpers shared by the graph tests: hand-made graph images.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/hnsw_index.h"

namespace tamix::testing_util {

// Builds graph images field by field.
class ImageBuilder {
 public:
  ImageBuilder& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  ImageBuilder& u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  ImageBuilder& node(Slot key, uint64_t level, const std::vector<std::vector<Slot>>& lists) {
    u64(key).u64(key).u64(level).u64(lists.size());
    for (const auto& list : lists) {
      u64(list.size());
      for (Slot s : list) u64(s);
    }
    return *this;
  }
  // Entry tag and slot, max_level and the configuration.
  ImageBuilder& tail(std::optional<Slot> entry, uint64_t max_level, const HnswConfig& c = {}) {
    u8(entry ? 1 : 0);
    if (entry) u64(*entry);
    u64(max_level).u64(c.m).u64(c.m_max).u64(c.m_max0).u64(c.ef_construction).u64(c.ef_search);
    const uint32_t ml = std::bit_cast<uint32_t>(c.ml);
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(ml >> (8 * i)));
    return u8(c.use_quantization ? 1 : 0);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace tamix::testing_util
