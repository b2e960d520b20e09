// The IVF index in the engine and the mode methods that steer it.
#include <filesystem>

#include "core/console.h"
#include "core/file_io.h"
#include "engine/json_value.h"
#include "engine/tamix.h"

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
  TAMIX_ASSIGN_OR_RETURN(c.nlist, unsigned_member(top, "nlist"));
  TAMIX_ASSIGN_OR_RETURN(c.nprobe, unsigned_member(top, "nprobe"));
  TAMIX_ASSIGN_OR_RETURN(c.max_iterations, unsigned_member(top, "max_iterations"));
  TAMIX_ASSIGN_OR_RETURN(c.tolerance, float_member(top, "tolerance"));
  TAMIX_ASSIGN_OR_RETURN(const json::Value* nested,
                         member(top, "hnsw_config", json::Value::Type::kObject));
  const json::Object& h = *nested->object;
  HnswConfig& g = c.hnsw_config;
  TAMIX_ASSIGN_OR_RETURN(g.m, unsigned_member(h, "m"));
  TAMIX_ASSIGN_OR_RETURN(g.m_max, unsigned_member(h, "m_max"));
  TAMIX_ASSIGN_OR_RETURN(g.m_max0, unsigned_member(h, "m_max0"));
  TAMIX_ASSIGN_OR_RETURN(g.ef_construction, unsigned_member(h, "ef_construction"));
  TAMIX_ASSIGN_OR_RETURN(g.ef_search, unsigned_member(h, "ef_search"));
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
  const bool present = flat_storage_ && !has_quantized_store() && file_io::exists(config_path);
  Result<std::unique_ptr<IvfIndex>> loaded = Error::Message("");
  if (present) {
    loaded = [&]() -> Result<std::unique_ptr<IvfIndex>> {
      TAMIX_ASSIGN_OR_RETURN(const std::vector<uint8_t> bytes,
                             file_io::read_file(config_path, UINT64_MAX).Context("config.json"));
      const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      TAMIX_ASSIGN_OR_RETURN(const IvfConfig config, parse_ivf_config(text));
      return IvfIndex::load(dir, config, text, dimension_, std::min(opened_count_, vector_count()));
    }();
  }
  if (loaded.ok()) {
    ivf_index_ = std::move(loaded).value();
    ivf_config_ = ivf_index_->config();
    return;
  }
  ivf_config_ = IvfConfig{};
  ivf_index_ = std::make_unique<IvfIndex>(*ivf_config_);
  if (present) {
    console::err_line("Failed to load IVF index: " + joined(loaded.error()));
    ivf_index_->hold_files();
  }
}

Status Tamix::set_mode_word(std::string word) {
  const std::string lower = mode_word_key(word);
  // A quantized store keeps answering: no word clears the flag while one holds the vectors.
  const bool quantized = has_quantized_store();
  if (lower == "flat" || lower == "hnsw") {
    mode_ = lower == "flat" ? IndexMode::Flat : IndexMode::Hnsw;
    storage_kind_ = lower == "flat" ? IndexKind::Flat : IndexKind::Hnsw;
    use_quantization_flag_ = quantized;
  } else if (lower == "sq8" || lower == "scalar") {
    mode_ = IndexMode::Sq8;
    storage_kind_ = IndexKind::Sq8;
    quantization_kind_ = QuantizationType::Scalar;
    use_quantization_flag_ = true;
  } else if (lower == "ivf") {
    set_mode(IndexMode::Ivf);
  } else if (lower == "auto") {
    set_mode(IndexMode::Auto);
  } else {
    return Error::InvalidInput("Invalid mode: " + word);
  }
  mode_name_ = std::move(word);
  return Ok();
}

Status Tamix::configure_ivf(uint64_t nlist, uint64_t nprobe) {
  TAMIX_TRY(check_nlist(nlist));
  // No probe answers nothing; nlist 0 at least falls back to the exact search.
  if (nprobe == 0) return Error::InvalidInput("nprobe must be at least 1, got 0");
  ivf_config_ = IvfConfig::configured(nlist, nprobe);
  if (mode_ == IndexMode::Ivf) ivf_index_ = std::make_unique<IvfIndex>(*ivf_config_);
  return Ok();
}

Status Tamix::train_ivf() {
  if (!ivf_index_) {
    return Error::Message("IVF mode not enabled. Call set_mode(IndexMode::Ivf) first.");
  }
  return ivf_index_->train(flat_storage_.get());
}

bool Tamix::ivf_answers() const { return ivf_index_ && ivf_index_->trained() && flat_storage_; }

void Tamix::place_new_in_ivf() {
  if (ivf_index_ && flat_storage_) ivf_index_->place_new(*flat_storage_, flat_storage_->count());
}

Status Tamix::save_ivf() {
  if (!ivf_index_) return Ok();
  return ivf_index_->save((std::filesystem::path(path_) / "ivf").string());
}

}  // namespace tamix
