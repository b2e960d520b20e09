// What a test sees of the files under a directory without reading them: a write changes a
// file's size or modification time, a rewrite by rename its inode.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace tamix::testing {

struct FileStamp {
  ino_t inode;
  off_t size;
  long seconds, nanoseconds;  // modification time
  bool operator==(const FileStamp&) const = default;
};

// Sets every file's modification time far into the past, so that any later write shows
// even within the clock's tick.
inline void Backdate(const std::filesystem::path& dir) {
  const timespec times[2] = {{1, 0}, {1, 0}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) ::utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
  }
}

// Every regular file below dir, by its path relative to dir.
inline std::map<std::string, FileStamp> Stamps(const std::filesystem::path& dir) {
  std::map<std::string, FileStamp> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st;
    if (!entry.is_regular_file() || ::stat(entry.path().c_str(), &st) != 0) continue;
    out[std::filesystem::relative(entry.path(), dir).string()] = {
        st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  }
  return out;
}

// The files written, replaced, created or removed between two stampings.
inline std::set<std::string> Changed(const std::map<std::string, FileStamp>& before,
                                     const std::map<std::string, FileStamp>& after) {
  std::set<std::string> out;
  for (const auto& [name, stamp] : before) {
    auto it = after.find(name);
    if (it == after.end() || !(it->second == stamp)) out.insert(name);
  }
  for (const auto& [name, stamp] : after) {
    if (!before.count(name)) out.insert(name);
  }
  return out;
}

}  // namespace tamix::testing
