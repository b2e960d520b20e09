// FileClaim: this process's claim on one database file, keyed by device and inode, so a
// second store in the same process is refused before it opens the file at all. Movable
// owner; the process-wide table behind it is guarded by a mutex.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "core/result.h"

namespace tamix {

class FileClaim {
 public:
  // Creates the file when missing (mode 0666 less the umask) and claims it; a file that
  // is already claimed fails with SQLite's text for a locked database.
  static Result<FileClaim> acquire(const std::string& path);

  FileClaim(FileClaim&& other) noexcept : key_(std::exchange(other.key_, std::nullopt)) {}
  FileClaim& operator=(FileClaim&& other) noexcept;
  ~FileClaim();

 private:
  using Key = std::pair<dev_t, ino_t>;
  explicit FileClaim(Key key) : key_(key) {}
  void release();

  std::optional<Key> key_;
};

}  // namespace tamix
