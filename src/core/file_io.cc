#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tamix {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  // close's error is not actionable here: the data path ends in full_sync.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

namespace file_io {
namespace {

std::atomic<uint64_t> g_write_calls{0};
std::atomic<uint64_t> g_sync_calls{0};

}  // namespace

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<UniqueFd> open_read_write(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::System(errno);
  return UniqueFd(fd);
}

Result<uint64_t> size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::System(errno);
  return static_cast<uint64_t>(st.st_size);
}

Status write_all_at(int fd, std::span<const uint8_t> bytes, uint64_t offset) {
  g_write_calls.fetch_add(1, std::memory_order_relaxed);
  while (!bytes.empty()) {
    ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::System(errno);
    }
    if (n == 0) return Error::Message("failed to write whole buffer");
    bytes = bytes.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return Ok();
}

Status full_sync(int fd) {
  g_sync_calls.fetch_add(1, std::memory_order_relaxed);
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Error::System(errno);
  }
  return Ok();
}

uint64_t write_calls() { return g_write_calls.load(std::memory_order_relaxed); }
uint64_t sync_calls() { return g_sync_calls.load(std::memory_order_relaxed); }

}  // namespace file_io
}  // namespace tamix
