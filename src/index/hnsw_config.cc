#include "index/hnsw_config.h"

#include <cmath>

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

}  // namespace tamix
