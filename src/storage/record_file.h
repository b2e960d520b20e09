// RecordFile: one vector file (VectorFileHeader, then fixed-stride records) with the life
// cycle the three stores share: buffered appends written at each record's own offset, a
// flush that rewrites the header, remaps and syncs, and reads bounded by the mapping.
// Owns its descriptor, buffer and mapping. Writes need exclusive access; record() and
// readable_count() may run from many threads while nothing writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/file_header.h"
#include "core/file_io.h"
#include "core/mmap.h"
#include "core/result.h"
#include "core/types.h"

namespace tamix {

struct RecordLayout {
  uint64_t header_dimension;  // the dimension every header write records
  uint64_t stride;            // bytes per record
  DataType data_type;
};

// "Dimension mismatch: expected {expected}, found {found}": a quantized store's refusal of a
// code file or quantizer made for another dimension.
Error dimension_mismatch(uint64_t expected, uint64_t found);

// What a store accepts in an existing file's header besides magic and version (always
// checked first). The dimension must equal the layout's header_dimension.
struct HeaderRule {
  std::optional<DataType> data_type;  // none: the field is never read
  bool dimension_range = false;       // 128..4096, checked before the equality
  Error (*mismatch)(uint64_t expected, uint64_t found) = dimension_mismatch;
};

// An open's limit that keeps every record the file holds.
inline constexpr uint64_t kAllRecords = UINT64_MAX;

// The slots of n records appended from slot `first`: what a store's add returns.
inline std::vector<Slot> consecutive_slots(Slot first, size_t n) {
  std::vector<Slot> slots(n);
  for (size_t i = 0; i < n; ++i) slots[i] = first + i;
  return slots;
}

class RecordFile {
 public:
  static constexpr size_t kBufferCapacity = size_t{8} << 20;

  // Writes record i of a batch into its place in the buffer (exactly stride bytes).
  using Fill = std::function<void(size_t i, std::span<uint8_t> record)>;

  // Opens or creates `path`; `open_context` wraps a failure of the open call itself. A new
  // file gets its header and a full sync. An existing file is only read: one shorter than a
  // header opens empty and gets its header with the first write; otherwise `rule` decides,
  // and the count is cut to the whole records the file holds, then to `limit` (records
  // beyond it are forgotten as by forget_from).
  static Result<std::unique_ptr<RecordFile>> open(const std::string& path, RecordLayout layout,
                                                  const HeaderRule& rule,
                                                  const std::string& open_context,
                                                  uint64_t limit = kAllRecords);

  // The count open would start with, found without creating or changing anything: 0 for a
  // missing file or one shorter than a header (once the header it would get is known to be
  // writable); otherwise what `rule` accepts, cut to the whole records present.
  static Result<uint64_t> stored_count(const std::string& path, RecordLayout layout,
                                       const HeaderRule& rule, const std::string& open_context);

  // The destructor flushes, then writes out what is still buffered; errors are ignored.
  ~RecordFile();

  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Appends n records and returns the first new slot. The batch is written out before the
  // call returns; on any write error it is dropped whole and count stays as it was.
  Result<Slot> append(size_t n, const Fill& fill);

  // Forgets the records from slot n on: no longer counted, read or flushed; later appends
  // overwrite them in place. The next flush then rewrites the header count.
  void forget_from(Slot n);

  // Does nothing when clean; else header, remap, full sync.
  Status flush();
  // The first half of flush: header and mapping brought up to date, so every record is
  // readable, and the device set writing. The flush that follows only waits for it, so
  // work in between overlaps the write.
  Status prepare_flush();

  // Slots readable through the current mapping: never more than the mapping holds.
  uint64_t readable_count() const { return std::min(count_, mapped_records_); }

  std::optional<std::span<const uint8_t>> record(Slot slot) const {
    if (slot >= readable_count()) return std::nullopt;
    return map_.bytes().subspan(VectorFileHeader::kSize + slot * stride_, stride_);
  }

  // The first record in the mapping, for scans that stay below readable_count(); null when
  // nothing is mapped.
  const uint8_t* records() const {
    return map_.mapped() ? map_.bytes().data() + VectorFileHeader::kSize : nullptr;
  }

  uint64_t count() const { return count_; }
  uint64_t persisted_count() const { return persisted_count_; }
  uint64_t stride() const { return stride_; }

 private:
  RecordFile(UniqueFd fd, RecordLayout layout);

  struct Found {
    uint64_t count;
    bool has_header;  // false below 24 bytes
  };
  // Refuses an existing file's header by the rule, or returns its stored count. In order:
  // magic, version, dimension range, data type, dimension; the first failure decides.
  static Result<uint64_t> check_header(VectorFileHeader::View bytes, uint64_t dimension,
                                       const HeaderRule& rule);
  // Reads an existing file's header and size; changes nothing.
  static Result<Found> inspect(int fd, RecordLayout layout, const HeaderRule& rule);
  static Result<UniqueFd> open_fd(const std::string& path, const std::string& open_context);

  Status write_out();
  // Header and mapping brought up to date with count_: both halves of a flush start here.
  Status publish();
  Status write_header(uint64_t count);
  Status remap();
  static uint64_t whole_records(uint64_t file_size, uint64_t stride);
  uint64_t offset_of(Slot slot) const { return VectorFileHeader::kSize + slot * stride_; }

  UniqueFd fd_;
  RecordLayout layout_;
  uint64_t stride_;
  MemoryMap map_;                 // absent below header + 1 byte, or after a failed remap
  uint64_t mapped_records_ = 0;   // whole records inside map_
  uint64_t count_ = 0;            // slots, including those not yet flushed
  uint64_t persisted_count_ = 0;  // the count the header on disk holds
  uint64_t written_ = 0;          // slots below this are in the file (always count_ between calls)
  bool header_on_disk_ = true;    // false for a short existing file until its first write
  std::thread writeback_;         // started by prepare_flush; joined before a sync and at the end
  bool prepared_ = false;         // header and mapping match count_ but are not synced (publish)
  std::unique_ptr<uint8_t[]> buffer_;  // records of slots [written_, count_), allocated lazily
  size_t buffered_ = 0;                // bytes used in buffer_
  size_t buffer_capacity_ = 0;
};

}  // namespace tamix
