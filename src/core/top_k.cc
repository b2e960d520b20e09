#include "core/top_k.h"

#include <algorithm>

namespace tamix {

std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> list, uint64_t k) {
  if (k == 0 || list.empty()) return {};
  const size_t kk = static_cast<size_t>(std::min<uint64_t>(list.size(), k));
  if (kk < list.size()) {
    std::nth_element(list.begin(), list.begin() + static_cast<ptrdiff_t>(kk), list.end(),
                     ScoreBefore);
    list.resize(kk);
  }
  std::stable_sort(list.begin(), list.end(), ScoreBefore);
  return list;
}

}  // namespace tamix
