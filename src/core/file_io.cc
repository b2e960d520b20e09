#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

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

Result<UniqueFd> open_with(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::System(errno);
  return UniqueFd(fd);
}

}  // namespace

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<UniqueFd> open_read_write(const std::string& path) {
  return open_with(path, O_RDWR | O_CREAT);
}

Result<uint64_t> size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::System(errno);
  return static_cast<uint64_t>(st.st_size);
}

Status write_all_at(int fd, std::span<const uint8_t> bytes, uint64_t offset) {
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
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Error::System(errno);
  }
  return Ok();
}

void start_writeback(int fd) {
#if defined(__linux__)
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

// File systems that cannot sync a directory say so with EINVAL; their renames are as
// durable as they get.
Status sync_directory(const std::string& dir) {
  TAMIX_ASSIGN_OR_RETURN(UniqueFd fd, open_with(dir, O_RDONLY | O_DIRECTORY));
  Status synced = full_sync(fd.get());
  if (!synced.ok() && synced.error().os_code() == EINVAL) return Ok();
  return synced;
}

Status sync_parent(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return sync_directory(parent.empty() ? "." : parent.string());
}

Status make_directories(const std::string& path) {
  std::filesystem::path dir(path);
  if (dir.filename().empty()) dir = dir.parent_path();  // a trailing separator
  std::vector<std::filesystem::path> made;
  std::error_code ec;
  for (auto p = dir; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
    made.push_back(p);
  }
  std::filesystem::create_directories(dir, ec);
  if (ec) return Error::System(ec.value());
  for (auto it = made.rbegin(); it != made.rend(); ++it) TAMIX_TRY(sync_parent(it->string()));
  return Ok();
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Error::System(errno);
  return Ok();
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Error::System(errno);
  return Ok();
}

namespace {

Status write_synced(const std::string& path, std::span<const uint8_t> bytes) {
  TAMIX_ASSIGN_OR_RETURN(UniqueFd fd, open_with(path, O_WRONLY | O_CREAT | O_TRUNC));
  TAMIX_TRY(write_all_at(fd.get(), bytes, 0));
  return full_sync(fd.get());
}

}  // namespace

Status write_file_atomically(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string temp = path + ".tmp";
  Status written = write_synced(temp, bytes);
  if (written.ok() && ::rename(temp.c_str(), path.c_str()) != 0) written = Error::System(errno);
  if (!written.ok()) {
    ::unlink(temp.c_str());
    return written;
  }
  return sync_parent(path);
}

Result<std::vector<uint8_t>> read_file(const std::string& path, uint64_t max_size) {
  TAMIX_ASSIGN_OR_RETURN(UniqueFd fd, open_with(path, O_RDONLY));
  TAMIX_ASSIGN_OR_RETURN(const uint64_t length, size(fd.get()));
  if (length > max_size) {
    return Error::Serialization("file of " + std::to_string(length) +
                                " bytes is larger than the expected " + std::to_string(max_size));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n =
        ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error::System(errno);
    if (n == 0) break;  // the file shrank meanwhile: the parser sees the short image
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace file_io
}  // namespace tamix
