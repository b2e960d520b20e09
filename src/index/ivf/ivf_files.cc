#include "index/ivf/ivf_files.h"

#include <bit>
#include <span>

#include "core/bincode.h"
#include "core/file_io.h"
#include "core/norm.h"

namespace tamix {

static_assert(std::endian::native == std::endian::little, "images are copied byte for byte");

std::string partition_file(uint64_t i) { return "part_" + std::to_string(i) + ".graph"; }

std::vector<uint8_t> centroids_image(const IvfCentroids& c) {
  bincode::Writer out;
  out.u64(c.count());
  for (uint64_t j = 0; j < c.count(); ++j) {
    out.u64(c.dimension());
    out.f32s(c.row(j));
  }
  return std::move(out).take();
}

uint64_t ivf_config_hash(std::string_view config_json) {
  uint64_t hash = 0xCBF29CE484222325;  // FNV-1a: fixed across builds, unlike std::hash
  for (const char c : config_json) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001B3;
  }
  return hash;
}

void append_u64(std::vector<uint8_t>& bytes, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::optional<std::pair<std::span<const uint8_t>, uint64_t>> split_stamp(
    std::span<const uint8_t> bytes) {
  if (bytes.size() < 8) return std::nullopt;
  const size_t at = bytes.size() - 8;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= uint64_t{bytes[at + i]} << (8 * i);
  return std::pair{bytes.first(at), value};
}

Result<IvfCentroids> read_centroids(std::span<const uint8_t> bytes, uint64_t nlist,
                                    uint64_t dimension, uint64_t config_hash,
                                    uint64_t& training) {
  bincode::Reader in(bytes);
  TAMIX_ASSIGN_OR_RETURN(const uint64_t count, in.u64());
  if (count != 0 && count != nlist) {
    return Error::Message("centroids.bin holds " + std::to_string(count) +
                          " centroids, config.json " + std::to_string(nlist));
  }
  // The size is known before any allocation: 8 + count × (8 + 4d) + 16.
  if (in.remaining() != count * (8 + 4 * dimension) + 16) {
    return Error::Message("centroids.bin is not " + std::to_string(count) + " centroids of " +
                          std::to_string(dimension) + " floats");
  }
  std::vector<float> values(static_cast<size_t>(count * dimension));
  for (uint64_t j = 0; j < count; ++j) {
    TAMIX_ASSIGN_OR_RETURN(const uint64_t length, in.u64());
    if (length != dimension) {
      return Error::Message("centroids.bin holds a centroid of " + std::to_string(length) +
                            " floats, the database " + std::to_string(dimension));
    }
    const std::span<float> row = std::span(values).subspan(j * dimension, dimension);
    TAMIX_TRY(in.f32s(row));
    // Training never writes one; its distance to every vector would be NaN.
    if (!all_finite(row)) {
      return Error::Message("centroids.bin: centroid " + std::to_string(j) + " is not finite");
    }
  }
  TAMIX_ASSIGN_OR_RETURN(training, in.u64());
  TAMIX_ASSIGN_OR_RETURN(const uint64_t hash, in.u64());
  if (hash != config_hash) {
    return Error::Message("config.json was not written with centroids.bin");
  }
  return IvfCentroids(count, dimension, std::move(values));
}

Status write_ivf_files(const std::string& ivf_dir, const IvfConfig& config,
                       const IvfCentroids& centroids, uint64_t training,
                       IvfFilesWritten& written) {
  const std::string config_path = ivf_config_path(ivf_dir);
  TAMIX_ASSIGN_OR_RETURN(std::string json,
                         ivf_config_json(config).Context("Failed to write IVF config"));
  const uint64_t hash = ivf_config_hash(json);
  if (written.config_json != json || !file_io::exists(config_path)) {
    written.config_json.reset();
    TAMIX_TRY(
        file_io::write_file_atomically(
            config_path, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()))
            .Context("Failed to write IVF config"));
    written.config_json = std::move(json);
  }
  const std::string centroids_path = ivf_dir + "/centroids.bin";
  const std::array<uint64_t, 3> stamp{centroids.generation(), training, hash};
  if (written.centroids != stamp || !file_io::exists(centroids_path)) {
    written.centroids.reset();
    std::vector<uint8_t> image = centroids_image(centroids);
    append_u64(image, training);
    append_u64(image, hash);
    TAMIX_TRY(file_io::write_file_atomically(centroids_path, image)
                  .Context("Failed to write IVF centroids"));
    written.centroids = stamp;
  }
  return Ok();
}

}  // namespace tamix
