#include "index/ivf_files.h"

#include <charconv>
#include <cmath>
#include <span>

#include "core/bincode.h"
#include "core/file_io.h"

namespace tamix {
namespace {

static_assert(std::endian::native == std::endian::little, "images are copied byte for byte");

// The shortest plain decimal that reads back as the same float; JSON has no non-finite
// numbers, so those become null. A whole number keeps a ".0" to stay a float.
std::string json_float(float value) {
  if (!std::isfinite(value)) return "null";
  char text[64];  // FLT_MAX takes 39 digits
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  std::string out(text, end);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string member(const char* indent, const char* key, const std::string& value, bool last) {
  return std::string(indent) + "\"" + key + "\": " + value + (last ? "\n" : ",\n");
}

std::string hnsw_config_json(const HnswConfig& c) {
  const char* in = "    ";
  return "{\n" + member(in, "m", std::to_string(c.m), false) +
         member(in, "m_max", std::to_string(c.m_max), false) +
         member(in, "m_max0", std::to_string(c.m_max0), false) +
         member(in, "ef_construction", std::to_string(c.ef_construction), false) +
         member(in, "ef_search", std::to_string(c.ef_search), false) +
         member(in, "ml", json_float(c.ml), false) +
         member(in, "use_quantization", c.use_quantization ? "true" : "false", true) + "  }";
}

}  // namespace

std::string ivf_config_json(const IvfConfig& c) {
  const char* in = "  ";
  return "{\n" + member(in, "nlist", std::to_string(c.nlist), false) +
         member(in, "nprobe", std::to_string(c.nprobe), false) +
         member(in, "max_iterations", std::to_string(c.max_iterations), false) +
         member(in, "tolerance", json_float(c.tolerance), false) +
         member(in, "hnsw_config", hnsw_config_json(c.hnsw_config), true) + "}";
}

std::vector<uint8_t> centroids_image(const IvfCentroids& c) {
  bincode::Writer out;
  out.u64(c.count());
  for (uint64_t j = 0; j < c.count(); ++j) {
    out.u64(c.dimension());
    out.f32s(c.row(j));
  }
  return std::move(out).take();
}

Status write_ivf_files(const std::string& ivf_dir, const IvfConfig& config,
                       const IvfCentroids& centroids, IvfFilesWritten& written) {
  const std::string config_path = ivf_dir + "/config.json";
  std::string json = ivf_config_json(config);
  if (written.config_json != json || !file_io::exists(config_path)) {
    written.config_json.reset();
    TAMIX_TRY(
        file_io::write_file_atomically(
            config_path, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()))
            .Context("Failed to write IVF config"));
    written.config_json = std::move(json);
  }
  const std::string centroids_path = ivf_dir + "/centroids.bin";
  if (written.centroids_generation != centroids.generation() || !file_io::exists(centroids_path)) {
    written.centroids_generation.reset();
    TAMIX_TRY(file_io::write_file_atomically(centroids_path, centroids_image(centroids))
                  .Context("Failed to write IVF centroids"));
    written.centroids_generation = centroids.generation();
  }
  return Ok();
}

}  // namespace tamix
