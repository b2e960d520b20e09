#include "metadata/file_claim.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

namespace tamix {
namespace {

// Never destroyed: a store may still be destroyed by an exit handler after static destructors.
std::mutex& claims_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::set<std::pair<dev_t, ino_t>>& claims() {
  static auto* set = new std::set<std::pair<dev_t, ino_t>>;
  return *set;
}

}  // namespace

// Only stat() touches a file that may be claimed: closing any descriptor of it would drop
// every POSIX lock this process holds on it, including SQLite's exclusive lock.
Result<FileClaim> FileClaim::acquire(const std::string& path) {
  std::lock_guard<std::mutex> guard(claims_mutex());
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return Error::System(errno);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Error::System(errno);
    const int rc = ::fstat(fd, &st);
    const int err = errno;
    ::close(fd);
    if (rc != 0) return Error::System(err);
  }
  const Key key{st.st_dev, st.st_ino};
  if (!claims().insert(key).second) return Error::KeyValue(sqlite3_errstr(SQLITE_BUSY));
  return FileClaim(key);
}

FileClaim& FileClaim::operator=(FileClaim&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::exchange(other.key_, std::nullopt);
  }
  return *this;
}

FileClaim::~FileClaim() { release(); }

void FileClaim::release() {
  if (!key_) return;
  std::lock_guard<std::mutex> guard(claims_mutex());
  claims().erase(*key_);
  key_.reset();
}

}  // namespace tamix
