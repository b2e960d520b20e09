#include "index/hnsw/hnsw_image.h"

#include <algorithm>
#include <bit>
#include <string>

#include "index/hnsw/hnsw_level.h"

namespace tamix {
namespace {

Error end_of_file() { return Error::Serialization("io error: unexpected end of file"); }

class ImageReader {
 public:
  explicit ImageReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  bool u64(uint64_t& v) {
    if (remaining() < 8) return false;
    v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{bytes_[pos_ + i]} << (8 * i);
    pos_ += 8;
    return true;
  }
  bool u8(uint8_t& v) {
    if (remaining() < 1) return false;
    v = bytes_[pos_++];
    return true;
  }
  // Reads n u64 values into out (or past them when out is null); false when fewer remain.
  bool u64s(uint64_t n, std::vector<Slot>* out) {
    if (n > remaining() / 8) return false;
    if (out != nullptr) {
      for (uint64_t i = 0; i < n; ++i) {
        uint64_t v = 0;
        u64(v);
        out->push_back(v);
      }
    } else {
      pos_ += static_cast<size_t>(n) * 8;
    }
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

bool read_node(ImageReader& r, GraphImage& image) {
  uint64_t key, id, level, lists;
  if (!r.u64(key) || !r.u64(id) || !r.u64(level) || !r.u64(lists)) return false;
  const uint64_t kept = std::min<uint64_t>(lists, kMaxLevel + 1);
  image.nodes.push_back({key, level, image.list_starts.size(), static_cast<uint32_t>(kept)});
  for (uint64_t i = 0; i < lists; ++i) {
    uint64_t n;
    if (!r.u64(n)) return false;
    if (i < kept) image.list_starts.push_back(image.slots.size());
    if (!r.u64s(n, i < kept ? &image.slots : nullptr)) return false;
  }
  return true;
}

Status read_tail(ImageReader& r, GraphImage& image) {
  uint8_t tag;
  if (!r.u8(tag)) return end_of_file();
  if (tag > 1)
    return Error::Serialization("tag for enum is not valid, found " + std::to_string(tag));
  if (tag == 1) {
    uint64_t entry;
    if (!r.u64(entry)) return end_of_file();
    image.entry_point = entry;
  }
  HnswConfig& c = image.config;
  if (!r.u64(image.max_level) || !r.u64(c.m) || !r.u64(c.m_max) || !r.u64(c.m_max0) ||
      !r.u64(c.ef_construction) || !r.u64(c.ef_search)) {
    return end_of_file();
  }
  uint32_t ml = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t b;
    if (!r.u8(b)) return end_of_file();
    ml |= uint32_t{b} << (8 * i);
  }
  c.ml = std::bit_cast<float>(ml);
  uint8_t flag;
  if (!r.u8(flag)) return end_of_file();
  if (flag > 1) {
    return Error::Serialization("invalid u8 while decoding bool, expected 0 or 1, found " +
                                std::to_string(flag));
  }
  c.use_quantization = flag == 1;
  return Ok();
}

}  // namespace

Result<GraphImage> decode_graph_image(std::span<const uint8_t> bytes) {
  ImageReader r(bytes);
  GraphImage image;
  uint64_t n;
  if (!r.u64(n)) return end_of_file();
  for (uint64_t i = 0; i < n; ++i) {
    if (!read_node(r, image)) return end_of_file();
  }
  image.list_starts.push_back(image.slots.size());
  TAMIX_TRY(read_tail(r, image));
  return image;
}

void ImageWriter::tail(std::optional<Slot> entry, uint64_t max_level, const HnswConfig& config) {
  u8(entry ? 1 : 0);
  if (entry) u64(*entry);
  u64(max_level);
  u64(config.m);
  u64(config.m_max);
  u64(config.m_max0);
  u64(config.ef_construction);
  u64(config.ef_search);
  const uint32_t ml = std::bit_cast<uint32_t>(config.ml);
  for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(ml >> (8 * i)));
  u8(config.use_quantization ? 1 : 0);
}

}  // namespace tamix
