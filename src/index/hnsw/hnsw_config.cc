#include "index/hnsw/hnsw_config.h"

#include <charconv>
#include <cmath>
#include <string>

namespace tamix {

HnswConfig HnswConfig::from_m(uint64_t m, uint64_t ef_construction, uint64_t ef_search) {
  HnswConfig c;
  c.m = m;
  c.m_max = m;
  c.m_max0 = saturating_double(m);
  c.ef_construction = ef_construction;
  c.ef_search = ef_search;
  const float log_m = std::log(static_cast<float>(m));
  c.ml = 1.0f / log_m;
  c.use_quantization = false;
  return c;
}

namespace {

Error invalid(const char* field, const std::string& value) {
  return Error::Message(std::string("invalid configuration: ") + field + " " + value);
}

}  // namespace

Status HnswConfig::check() const {
  if (m < 2) return invalid("m", std::to_string(m));
  if (m_max == 0) return invalid("m_max", "0");
  if (m_max0 == 0) return invalid("m_max0", "0");
  // Computed as from_m computes it, so every m >= 2 passes.
  const float ml_of_two = 1.0f / std::log(2.0f);
  if (!std::isfinite(ml) || ml <= 0.0f || ml > ml_of_two) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, ml);
    return invalid("ml", std::string(text, end));
  }
  return Ok();
}

}  // namespace tamix
