#include "storage/encoded_append.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/pool.h"

namespace tamix {
namespace {

// Bounds the encoded copy held in memory, whatever the batch size.
constexpr size_t kBlockBytes = size_t{4} << 20;

}  // namespace

Result<Slot> append_encoded(RecordFile& file, size_t n, const EncodeRecord& encode,
                            const SeeBlock& see) {
  const Slot start = file.count();
  const size_t stride = static_cast<size_t>(file.stride());
  const size_t per_block = std::max<size_t>(1, kBlockBytes / std::max<size_t>(stride, 1));
  std::vector<uint8_t> block;
  for (size_t first = 0; first < n; first += per_block) {
    const size_t len = std::min(per_block, n - first);
    block.resize(len * stride);
    pool::parallel_for(len, [&](size_t a, size_t b) {
      for (size_t i = a; i < b; ++i) encode(first + i, {block.data() + i * stride, stride});
    });
    if (see) see(first, block);
    Result<Slot> appended = file.append(len, [&](size_t i, std::span<uint8_t> record) {
      std::memcpy(record.data(), block.data() + i * stride, stride);
    });
    if (!appended.ok()) {
      file.forget_from(start);
      return std::move(appended).error();
    }
  }
  return start;
}

}  // namespace tamix
