#include "metadata/metadata_json.h"

#include "core/json_value.h"

namespace tamix {

std::string normalize_metadata(std::string_view text, std::string_view id) {
  std::optional<json::Value> parsed = json::parse(text);
  json::Value value;
  if (parsed) {
    value = std::move(*parsed);
  } else {
    value.type = json::Value::Type::kObject;
    value.object = std::make_unique<json::Object>();
  }
  if (value.type == json::Value::Type::kObject) {
    json::Value id_value;
    id_value.type = json::Value::Type::kString;
    id_value.str = std::string(id);
    (*value.object)["__id__"] = std::move(id_value);
  }
  std::string out;
  out.reserve(128);
  json::write(value, out);
  return out;
}

}  // namespace tamix
