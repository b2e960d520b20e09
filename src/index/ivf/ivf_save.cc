// Writing an IVF index: the two files of index/ivf/ivf_files.h, then one graph image per
// partition, each followed by the training stamp. Each file is written whole to a temporary
// name, synced and renamed, and only when its content differs from what this index last
// wrote there.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "core/file_io.h"
#include "core/pool.h"
#include "index/ivf/ivf_index.h"

namespace tamix {
namespace {

// The partition number of a name this system writes ("part_12.graph"), if it is one.
std::optional<uint64_t> partition_number(std::string_view name) {
  constexpr std::string_view kPrefix = "part_", kSuffix = ".graph";
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return std::nullopt;
  const std::string_view digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (std::to_string(value) != digits) return std::nullopt;  // not as we write it
  return value;
}

// Removes the partition files numbered nlist or above.
Status remove_beyond(const std::string& dir, uint64_t nlist) {
  std::error_code ec;
  bool removed = false;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<uint64_t> i = partition_number(it->path().filename().string());
    if (!i || *i < nlist) continue;
    TAMIX_TRY(file_io::remove_file(it->path().string()));
    removed = true;
  }
  if (ec) return Error::System(ec.value());
  return removed ? file_io::sync_directory(dir) : Ok();
}

}  // namespace

IvfIndex::Written IvfIndex::state(uint64_t i) const {
  if (i >= partitions_.size() || !partitions_[i].graph) return {training_, 0, 0};
  return {training_, partitions_[i].serial, partitions_[i].graph->generation()};
}

Status IvfIndex::save(const std::string& ivf_dir) {
  if (files_held_) return Ok();
  TAMIX_TRY(check_nlist(config_.nlist));
  const std::string dir = ivf_dir + "/partitions";
  TAMIX_TRY(file_io::make_directories(dir));
  TAMIX_TRY(write_ivf_files(ivf_dir, config_, centroids_, training_, files_written_));
  return save_partitions(dir);
}

Status IvfIndex::save_partitions(const std::string& dir) {
  TAMIX_TRY(check_nlist(config_.nlist));
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return Error::System(errno);
  // Another directory than the last one written, or one made anew (its inode may be the old
  // one's, but its first and last files are gone): everything again.
  const std::pair<uint64_t, uint64_t> id{st.st_dev, st.st_ino};
  const bool whole =
      config_.nlist == 0 || (file_io::exists(dir + "/" + partition_file(0)) &&
                             file_io::exists(dir + "/" + partition_file(config_.nlist - 1)));
  if (partitions_dir_ != id || !whole) {
    partitions_dir_.reset();
    TAMIX_TRY(remove_beyond(dir, config_.nlist).Context("Failed to write IVF partitions"));
    partitions_written_.assign(static_cast<size_t>(config_.nlist),
                               {UINT64_MAX, UINT64_MAX, UINT64_MAX});
    partitions_dir_ = id;
  }
  std::vector<uint64_t> changed;
  for (uint64_t i = 0; i < config_.nlist; ++i) {
    if (partitions_written_[i] != state(i)) changed.push_back(i);
  }
  std::vector<uint8_t> empty_image = empty_.serialize();
  append_u64(empty_image, training_);
  auto write = [&](size_t c) -> Result<bool> {
    const uint64_t i = changed[c];
    const Written now = state(i);
    const std::string path = dir + "/" + partition_file(i);
    std::vector<uint8_t> image;
    if (now.serial != 0) {
      image = partitions_[i].graph->serialize();
      append_u64(image, training_);
    }
    TAMIX_TRY(file_io::write_file_atomically(path, now.serial != 0 ? image : empty_image));
    partitions_written_[i] = now;
    return true;
  };
  Result<std::vector<bool>> written = pool::try_map<bool>(changed.size(), write);
  if (!written.ok()) return std::move(written).error().Context("Failed to write IVF partitions");
  return Ok();
}

}  // namespace tamix
