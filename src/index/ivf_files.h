// The IVF files in the "ivf" directory of a database: "config.json" (the index's IvfConfig,
// pretty-printed JSON) and "centroids.bin" (bincode: u64 count, then per centroid a u64
// length and its floats). Written whole and only when changed; nothing reads them back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "index/ivf_centroids.h"
#include "index/ivf_config.h"

namespace tamix {

// The content of "config.json": 15 lines, two spaces per level, no final newline.
std::string ivf_config_json(const IvfConfig& config);

// The content of "centroids.bin": exactly 8 + count × (8 + 4 × dimension) bytes.
std::vector<uint8_t> centroids_image(const IvfCentroids& centroids);

// What this process last wrote to the IVF files of one directory. The engine keeps one
// beside its IVF index, so persist rewrites a file only when its content changed (or the
// file has gone). Plain value; not thread-safe.
struct IvfFilesWritten {
  std::optional<std::string> config_json;
  std::optional<uint64_t> centroids_generation;  // IvfCentroids::generation
};

// Writes "config.json", then "centroids.bin", into the existing directory ivf_dir, each only
// when it differs from what `written` records. Errors carry "Failed to write IVF config" or
// "Failed to write IVF centroids" over the file-system error.
Status write_ivf_files(const std::string& ivf_dir, const IvfConfig& config,
                       const IvfCentroids& centroids, IvfFilesWritten& written);

}  // namespace tamix
