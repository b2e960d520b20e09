// A thin POSIX layer for the vector files: an owned descriptor, positional writes that
// finish or fail, and the full sync. System failures become Error::System(errno).
// Functions are thread-safe; a UniqueFd is owned by one object at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"

namespace tamix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset();

 private:
  int fd_ = -1;
};

namespace file_io {

// True when stat (following links) succeeds; any failure counts as missing.
bool exists(const std::string& path);

// Opens read-write, creating the file with mode 0666 (before umask) when missing.
Result<UniqueFd> open_read_write(const std::string& path);

Result<uint64_t> size(int fd);

// Writes every byte at `offset`: retries partial writes and EINTR; a write that accepts
// nothing fails (ENOSPC-like), so the loop always ends.
Status write_all_at(int fd, std::span<const uint8_t> bytes, uint64_t offset);

// Forces the file's data to stable storage (fsync here), repeated while interrupted.
Status full_sync(int fd);

// Asks the device to start writing the file's dirty pages, without waiting; full_sync
// still decides durability. A hint: where it is not supported it does nothing.
void start_writeback(int fd);

// Makes the renames and removals inside a directory durable.
Status sync_directory(const std::string& dir);

// Makes a directory and its missing parents, each new one synced into its parent: until
// then a power loss may take the name away with everything written below it.
Status make_directories(const std::string& path);

// Syncs the directory that holds `path`: a file's new name is durable only after this.
Status sync_parent(const std::string& path);

// rename(2), and unlink(2) where a missing file counts as removed.
Status rename_file(const std::string& from, const std::string& to);
Status remove_file(const std::string& path);

// Writes a whole file: the bytes go to a temporary name beside `path`, are synced and
// renamed over it, and the directory is synced. Readers see the old file or the new one,
// never a mix; on failure `path` is untouched.
Status write_file_atomically(const std::string& path, std::span<const uint8_t> bytes);

// Reads a whole file. One larger than max_size is refused with a serialization error
// before anything is read.
Result<std::vector<uint8_t>> read_file(const std::string& path, uint64_t max_size);

}  // namespace file_io
}  // namespace tamix
