// Loading the IVF index from its files: "config.json" parsed here, the rest by the index.
#include <filesystem>
#include <initializer_list>
#include <utility>

#include "core/console.h"
#include "core/file_io.h"
#include "engine/tamix.h"
#include "index/ivf/ivf_index.h"
#include "metadata/json_value.h"

namespace tamix {
namespace {

// A member of a "config.json" object of the given type, as ivf_config_json writes it.
Result<const json::Value*> member(const json::Object& object, const std::string& key,
                                  json::Value::Type type) {
  const auto it = object.find(key);
  if (it == object.end() || it->second.type != type) {
    return Error::Message("config.json: no valid \"" + key + "\"");
  }
  return &it->second;
}

Result<uint64_t> unsigned_member(const json::Object& object, const std::string& key) {
  TAMIX_ASSIGN_OR_RETURN(const json::Value* value,
                         member(object, key, json::Value::Type::kUnsigned));
  return value->u;
}

template <class Config>
Status read_unsigned(const json::Object& object, Config& config,
                     std::initializer_list<std::pair<const char*, uint64_t Config::*>> fields) {
  for (const auto& [key, field] : fields) {
    TAMIX_ASSIGN_OR_RETURN(config.*field, unsigned_member(object, key));
  }
  return Ok();
}

// Floats are written with a point ("0.001", "50.0"), so they parse as doubles.
Result<float> float_member(const json::Object& object, const std::string& key) {
  TAMIX_ASSIGN_OR_RETURN(const json::Value* value,
                         member(object, key, json::Value::Type::kDouble));
  return static_cast<float>(value->d);
}

// The configuration in the text of "config.json", as ivf_config_json writes it.
Result<IvfConfig> parse_ivf_config(std::string_view text) {
  const std::optional<json::Value> root = json::parse(text);
  if (!root || root->type != json::Value::Type::kObject) {
    return Error::Message("config.json is not a JSON object");
  }
  const json::Object& top = *root->object;
  IvfConfig c;
  TAMIX_TRY(read_unsigned(top, c,
                          {{"nlist", &IvfConfig::nlist},
                           {"nprobe", &IvfConfig::nprobe},
                           {"max_iterations", &IvfConfig::max_iterations}}));
  TAMIX_ASSIGN_OR_RETURN(c.tolerance, float_member(top, "tolerance"));
  TAMIX_ASSIGN_OR_RETURN(const json::Value* nested,
                         member(top, "hnsw_config", json::Value::Type::kObject));
  const json::Object& h = *nested->object;
  HnswConfig& g = c.hnsw_config;
  TAMIX_TRY(read_unsigned(h, g,
                          {{"m", &HnswConfig::m},
                           {"m_max", &HnswConfig::m_max},
                           {"m_max0", &HnswConfig::m_max0},
                           {"ef_construction", &HnswConfig::ef_construction},
                           {"ef_search", &HnswConfig::ef_search}}));
  TAMIX_ASSIGN_OR_RETURN(g.ml, float_member(h, "ml"));
  TAMIX_ASSIGN_OR_RETURN(const json::Value* flag,
                         member(h, "use_quantization", json::Value::Type::kBool));
  g.use_quantization = flag->boolean;
  return c;
}

std::string joined(const Error& error) {
  std::string out;
  for (const std::string& part : error.chain()) out += (out.empty() ? "" : ": ") + part;
  return out;
}

}  // namespace

// The index the files under "ivf" hold, when they are there; like the graph, only beside
// the flat store holding the vectors, and only for the slots the open found committed.
// An index that fails to load starts untrained and leaves the files as they are.
void Tamix::load_or_create_ivf() {
  const std::string dir = (std::filesystem::path(path_) / "ivf").string();
  const std::string config_path = dir + "/config.json";
  ivf_index_ = std::make_unique<IvfIndex>(IvfConfig{});
  if (!store_.flat() || !file_io::exists(config_path)) return;
  Result<std::unique_ptr<IvfIndex>> loaded = [&]() -> Result<std::unique_ptr<IvfIndex>> {
    TAMIX_ASSIGN_OR_RETURN(const std::vector<uint8_t> bytes,
                           file_io::read_file(config_path, UINT64_MAX).Context("config.json"));
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    TAMIX_ASSIGN_OR_RETURN(const IvfConfig config, parse_ivf_config(text));
    return IvfIndex::load(dir, config, text, dimension_, std::min(opened_count_, vector_count()));
  }();
  if (loaded.ok()) {
    ivf_index_ = std::move(loaded).value();
    return;
  }
  console::err_line("Failed to load IVF index: " + joined(loaded.error()));
  ivf_index_->hold_files();
}

}  // namespace tamix
