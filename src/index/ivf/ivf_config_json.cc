#include "index/ivf/ivf_config_json.h"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <utility>

#include "core/json_value.h"

namespace tamix {
namespace {

Result<std::string> json_float(const char* key, float value) {
  if (!std::isfinite(value)) {
    return Error::Message("config.json: " + std::string(key) + " is not finite");
  }
  std::string out;
  json::write_plain_float(value, out);
  return out;
}

std::string member(const char* indent, const char* key, const std::string& value, bool last) {
  return std::string(indent) + "\"" + key + "\": " + value + (last ? "\n" : ",\n");
}

Result<std::string> hnsw_config_json(const HnswConfig& c) {
  const char* in = "    ";
  TAMIX_ASSIGN_OR_RETURN(const std::string ml, json_float("ml", c.ml));
  return "{\n" + member(in, "m", std::to_string(c.m), false) +
         member(in, "m_max", std::to_string(c.m_max), false) +
         member(in, "m_max0", std::to_string(c.m_max0), false) +
         member(in, "ef_construction", std::to_string(c.ef_construction), false) +
         member(in, "ef_search", std::to_string(c.ef_search), false) +
         member(in, "ml", ml, false) +
         member(in, "use_quantization", c.use_quantization ? "true" : "false", true) + "  }";
}

// A member of a "config.json" object of the given type, as ivf_config_json writes it.
Result<const json::Value*> member_of(const json::Object& object, const std::string& key,
                                     json::Value::Type type) {
  const auto it = object.find(key);
  if (it == object.end() || it->second.type != type) {
    return Error::Message("config.json: no valid \"" + key + "\"");
  }
  return &it->second;
}

template <class Config>
Status read_unsigned(const json::Object& object, Config& config,
                     std::initializer_list<std::pair<const char*, uint64_t Config::*>> fields) {
  for (const auto& [key, field] : fields) {
    TAMIX_ASSIGN_OR_RETURN(const json::Value* value,
                           member_of(object, key, json::Value::Type::kUnsigned));
    config.*field = value->u;
  }
  return Ok();
}

// Floats are written with a point ("0.001", "50.0"), so they parse as doubles.
Result<float> float_member(const json::Object& object, const std::string& key) {
  TAMIX_ASSIGN_OR_RETURN(const json::Value* value,
                         member_of(object, key, json::Value::Type::kDouble));
  return static_cast<float>(value->d);
}

}  // namespace

std::string ivf_config_path(const std::string& ivf_dir) { return ivf_dir + "/config.json"; }

Result<std::string> ivf_config_json(const IvfConfig& c) {
  const char* in = "  ";
  TAMIX_ASSIGN_OR_RETURN(const std::string tolerance, json_float("tolerance", c.tolerance));
  TAMIX_ASSIGN_OR_RETURN(const std::string hnsw, hnsw_config_json(c.hnsw_config));
  return "{\n" + member(in, "nlist", std::to_string(c.nlist), false) +
         member(in, "nprobe", std::to_string(c.nprobe), false) +
         member(in, "max_iterations", std::to_string(c.max_iterations), false) +
         member(in, "tolerance", tolerance, false) + member(in, "hnsw_config", hnsw, true) +
         "}";
}

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
                         member_of(top, "hnsw_config", json::Value::Type::kObject));
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
                         member_of(h, "use_quantization", json::Value::Type::kBool));
  g.use_quantization = flag->boolean;
  return c;
}

}  // namespace tamix
