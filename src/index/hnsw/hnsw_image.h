// The graph image: bincode of a whole graph with fixed-width little-endian integers (u64
// counts), no header. decode_graph_image reads it into a plain record whose size follows
// the bytes actually present, whatever the counts claim; HnswIndex then validates and
// builds from that record.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/result.h"
#include "core/types.h"
#include "index/hnsw/hnsw_config.h"

namespace tamix {

struct GraphImage {
  struct Node {
    Slot key;        // the map key: the node's slot (its own id field is not used)
    uint64_t level;  // as written
    size_t first_list;
    uint32_t lists;  // lists kept: at most kMaxLevel + 1, the ones above are skipped
  };

  std::vector<Node> nodes;          // in file order; a later record of the same key wins
  std::vector<size_t> list_starts;  // list i is slots[list_starts[i], list_starts[i + 1])
  std::vector<Slot> slots;
  std::optional<Slot> entry_point;
  uint64_t max_level = 0;
  HnswConfig config;

  std::span<const Slot> list(size_t i) const {
    return std::span<const Slot>(slots).subspan(list_starts[i],
                                                list_starts[i + 1] - list_starts[i]);
  }
};

// Errors: "io error: unexpected end of file", "tag for enum is not valid, found {tag}",
// "invalid u8 while decoding bool, expected 0 or 1, found {byte}". Trailing bytes are ignored.
Result<GraphImage> decode_graph_image(std::span<const uint8_t> bytes);

// Size of the image's fixed tail: entry tag, max_level and the configuration (45 bytes),
// without the 8 bytes of an entry point.
inline constexpr size_t kImageTailSize = 1 + 8 + 45;

// Writes image fields into a buffer sized beforehand.
class ImageWriter {
 public:
  explicit ImageWriter(uint8_t* out) : p_(out) {}
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) *p_++ = static_cast<uint8_t>(v >> (8 * i));
  }
  void u8(uint8_t v) { *p_++ = v; }
  // The entry tag and slot, max_level and the configuration.
  void tail(std::optional<Slot> entry, uint64_t max_level, const HnswConfig& config);
  uint8_t* position() const { return p_; }

 private:
  uint8_t* p_;
};

}  // namespace tamix
