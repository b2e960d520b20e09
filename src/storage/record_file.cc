#include "storage/record_file.h"

#include <cerrno>
#include <limits>
#include <system_error>
#include <utility>

namespace tamix {

Error dimension_mismatch(uint64_t expected, uint64_t found) {
  return Error::Message("Dimension mismatch: expected " + std::to_string(expected) + ", found " +
                        std::to_string(found));
}

Result<uint64_t> RecordFile::check_header(VectorFileHeader::View bytes, uint64_t dimension,
                                          const HeaderRule& rule) {
  TAMIX_TRY(rule.dimension_range ? VectorFileHeader::validate(bytes)
                                 : VectorFileHeader::validate_format(bytes));
  const VectorFileHeader header = VectorFileHeader::decode(bytes);
  if (rule.data_type && header.data_type != static_cast<uint16_t>(*rule.data_type)) {
    return Error::Message("Invalid data type: expected " +
                          std::to_string(static_cast<uint16_t>(*rule.data_type)) + ", found " +
                          std::to_string(header.data_type));
  }
  if (header.dimension != dimension) return rule.mismatch(dimension, header.dimension);
  return header.count;
}

RecordFile::RecordFile(UniqueFd fd, RecordLayout layout)
    : fd_(std::move(fd)), layout_(layout), stride_(layout.stride) {}

Result<UniqueFd> RecordFile::open_fd(const std::string& path, const std::string& open_context) {
  Result<UniqueFd> opened = file_io::open_read_write(path);
  if (!opened.ok()) return std::move(opened).error().Context(open_context);
  return std::move(opened).value();
}

Result<RecordFile::Found> RecordFile::inspect(int fd, RecordLayout layout,
                                              const HeaderRule& rule) {
  TAMIX_ASSIGN_OR_RETURN(const uint64_t size, file_io::size(fd));
  if (size < VectorFileHeader::kSize) {
    // Nothing to validate; refuse now what the first header write would refuse.
    TAMIX_TRY(VectorFileHeader::compose(layout.header_dimension, 0, layout.data_type));
    return Found{0, false};
  }
  TAMIX_ASSIGN_OR_RETURN(MemoryMap header,
                         MemoryMap::map(fd, VectorFileHeader::kSize, MemoryMap::Access::kReadOnly));
  TAMIX_ASSIGN_OR_RETURN(const uint64_t stored,
                         check_header(header.bytes().first<VectorFileHeader::kSize>(),
                                      layout.header_dimension, rule));
  // A header synced without its records (or simply corrupt) must not invent slots.
  return Found{std::min(stored, whole_records(size, layout.stride)), true};
}

Result<uint64_t> RecordFile::stored_count(const std::string& path, RecordLayout layout,
                                          const HeaderRule& rule,
                                          const std::string& open_context) {
  if (!file_io::exists(path)) {
    TAMIX_TRY(VectorFileHeader::compose(layout.header_dimension, 0, layout.data_type));
    return uint64_t{0};
  }
  TAMIX_ASSIGN_OR_RETURN(UniqueFd fd, open_fd(path, open_context));
  TAMIX_ASSIGN_OR_RETURN(const Found found, inspect(fd.get(), layout, rule));
  return found.count;
}

Result<std::unique_ptr<RecordFile>> RecordFile::open(const std::string& path, RecordLayout layout,
                                                     const HeaderRule& rule,
                                                     const std::string& open_context,
                                                     uint64_t limit) {
  const bool existed = file_io::exists(path);
  TAMIX_ASSIGN_OR_RETURN(UniqueFd fd, open_fd(path, open_context));
  std::unique_ptr<RecordFile> file(new RecordFile(std::move(fd), layout));

  if (!existed) {
    // The name too: a commit may count this file's records once the open returns.
    TAMIX_TRY(file->write_header(0));
    TAMIX_TRY(file_io::full_sync(file->fd_.get()));
    TAMIX_TRY(file_io::sync_parent(path));
  } else {
    TAMIX_ASSIGN_OR_RETURN(const Found found, inspect(file->fd_.get(), layout, rule));
    file->count_ = found.count;
    file->header_on_disk_ = found.has_header;
  }
  file->persisted_count_ = file->count_;
  file->written_ = file->count_;
  TAMIX_TRY(file->remap());
  file->forget_from(limit);
  return file;
}

RecordFile::~RecordFile() { (void)flush(); }

Result<Slot> RecordFile::append(size_t n, const Fill& fill) {
  const Slot start = count_;
  if (n > 0) prepared_ = false;
  if (!buffer_ && n > 0) {
    buffer_capacity_ = std::max<size_t>(kBufferCapacity, stride_);
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(buffer_capacity_);
  }
  Status status = Ok();
  for (size_t i = 0; i < n && status.ok(); ++i) {
    if (buffered_ + stride_ > buffer_capacity_) status = write_out();
    if (!status.ok()) break;
    fill(i, std::span<uint8_t>(buffer_.get() + buffered_, stride_));
    buffered_ += stride_;
  }
  if (status.ok()) status = write_out();
  if (!status.ok()) {
    // Bytes of the batch already in the file lie past count and are overwritten in place.
    buffered_ = 0;
    forget_from(start);
    return std::move(status).error();
  }
  count_ = start + n;
  return start;
}

void RecordFile::forget_from(Slot n) {
  prepared_ = false;
  count_ = std::min(count_, n);
  written_ = std::min(written_, count_);
}

Status RecordFile::write_out() {
  if (buffered_ == 0) return Ok();
  if (!header_on_disk_) TAMIX_TRY(write_header(persisted_count_));
  TAMIX_TRY(file_io::write_all_at(fd_.get(), {buffer_.get(), buffered_}, offset_of(written_)));
  written_ += stride_ == 0 ? 0 : buffered_ / stride_;
  buffered_ = 0;
  return Ok();
}

Status RecordFile::flush() {
  if (writeback_.joinable()) writeback_.join();
  if (count_ == persisted_count_) return Ok();
  TAMIX_TRY(publish());
  TAMIX_TRY(file_io::full_sync(fd_.get()));
  prepared_ = false;
  persisted_count_ = count_;
  return Ok();
}

Status RecordFile::publish() {
  if (prepared_) return Ok();
  TAMIX_TRY(write_header(count_));
  TAMIX_TRY(remap());
  prepared_ = true;
  return Ok();
}

Status RecordFile::prepare_flush() {
  if (count_ == persisted_count_ || prepared_) return Ok();
  TAMIX_TRY(publish());
  // Starting the write can block for a while in the block layer; the caller has better
  // things to do. A thread that cannot start only loses the head start.
  if (writeback_.joinable()) writeback_.join();
  try {
    writeback_ = std::thread([fd = fd_.get()] { file_io::start_writeback(fd); });
  } catch (const std::system_error&) {
  }
  return Ok();
}

Status RecordFile::write_header(uint64_t count) {
  TAMIX_ASSIGN_OR_RETURN(
      const VectorFileHeader::Bytes bytes,
      VectorFileHeader::compose(layout_.header_dimension, count, layout_.data_type));
  TAMIX_TRY(file_io::write_all_at(fd_.get(), bytes, 0));
  header_on_disk_ = true;
  return Ok();
}

Status RecordFile::remap() {
  map_.reset();
  mapped_records_ = 0;
  TAMIX_ASSIGN_OR_RETURN(const uint64_t size, file_io::size(fd_.get()));
  if (size <= VectorFileHeader::kSize) return Ok();
  if (size > std::numeric_limits<size_t>::max()) return Error::System(EFBIG);
  TAMIX_ASSIGN_OR_RETURN(
      map_, MemoryMap::map(fd_.get(), static_cast<size_t>(size), MemoryMap::Access::kReadWrite));
  mapped_records_ = whole_records(size, stride_);
  return Ok();
}

uint64_t RecordFile::whole_records(uint64_t file_size, uint64_t stride) {
  if (file_size < VectorFileHeader::kSize) return 0;
  // Zero-byte records all fit; only a degenerate dimension 0 store has them.
  if (stride == 0) return std::numeric_limits<uint64_t>::max();
  return (file_size - VectorFileHeader::kSize) / stride;
}

}  // namespace tamix
