// The IVF files in the "ivf" directory of a database: "config.json" (the index's IvfConfig,
// pretty-printed JSON: index/ivf/ivf_config_json.h) and "centroids.bin" (bincode: u64
// count, then per centroid a u64 length and its floats, then the stamp below). Written
// whole and only when changed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "index/ivf/ivf_centroids.h"
#include "index/ivf/ivf_config.h"
#include "index/ivf/ivf_config_json.h"

namespace tamix {

// The name of partition i's graph file under "partitions": "part_{i}.graph".
std::string partition_file(uint64_t i);

// The content of "centroids.bin" before its stamp: 8 + count × (8 + 4 × dimension) bytes.
std::vector<uint8_t> centroids_image(const IvfCentroids& centroids);

// What ties the files of one index together, so that a set mixed from two (a crash in the
// middle of a rewrite) is never loaded: the training the partitions come from (a u64 after
// every partition's graph image and after the centroids) and, after that in "centroids.bin",
// a hash of the "config.json" written with it. Readers of the images stop before it.
uint64_t ivf_config_hash(std::string_view config_json);
void append_u64(std::vector<uint8_t>& bytes, uint64_t value);

// Splits a file into its image and its trailing u64; none when it is shorter.
std::optional<std::pair<std::span<const uint8_t>, uint64_t>> split_stamp(
    std::span<const uint8_t> bytes);

// Reads "centroids.bin": nlist centroids of `dimension` floats (none while untrained), then
// the training and the hash, which must be `config_hash`. Sets `training`.
Result<IvfCentroids> read_centroids(std::span<const uint8_t> bytes, uint64_t nlist,
                                    uint64_t dimension, uint64_t config_hash,
                                    uint64_t& training);

// What this process last wrote to the IVF files of one directory. The engine keeps one
// beside its IVF index, so persist rewrites a file only when its content changed (or the
// file has gone). Plain value; not thread-safe.
struct IvfFilesWritten {
  std::optional<std::string> config_json;
  // IvfCentroids::generation, then the training and the config hash stamped after them.
  std::optional<std::array<uint64_t, 3>> centroids;
};

// Writes "config.json", then "centroids.bin", into the existing directory ivf_dir, each only
// when it differs from what `written` records. Errors carry "Failed to write IVF config" or
// "Failed to write IVF centroids" over the file-system error.
Status write_ivf_files(const std::string& ivf_dir, const IvfConfig& config,
                       const IvfCentroids& centroids, uint64_t training,
                       IvfFilesWritten& written);

}  // namespace tamix
