#include "engine/finite.h"

#include <algorithm>
#include <vector>

#include "core/pool.h"

namespace tamix {

size_t first_non_finite(std::span<const VectorView> vectors) {
  std::vector<uint8_t> ok = pool::map<uint8_t>(
      vectors.size(), [&](size_t i) { return static_cast<uint8_t>(all_finite(vectors[i])); });
  return static_cast<size_t>(std::find(ok.begin(), ok.end(), 0) - ok.begin());
}

}  // namespace tamix
