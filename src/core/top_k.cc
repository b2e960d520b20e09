#include "core/top_k.h"

#include <algorithm>
#include <cstring>

namespace tamix {
namespace {

// A key whose ascending order is ScoreBefore's, for slots below 2^32: integer comparisons
// sort several times faster than the float and NaN tests.
struct Keyed {
  uint64_t key;
  float value;  // kept as given: the key folds -0 into +0
};

uint64_t order_key(Slot slot, float value) {
  uint32_t high = 0xFFFFFFFFu;  // NaN: after every number
  if (!std::isnan(value)) {
    const float v = value == 0 ? 0.0f : value;  // -0 ties with +0
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint32_t ascending = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
    high = ~ascending;  // best first; -inf ends at 0xFF800000, below NaN's
  }
  return (uint64_t{high} << 32) | slot;
}

void sort_by_keys(std::vector<ScoredIndex>& list, size_t kk) {
  std::vector<Keyed> keyed(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    keyed[i] = {order_key(list[i].slot, list[i].value), list[i].value};
  }
  const auto before = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
  if (kk < keyed.size()) {
    std::nth_element(keyed.begin(), keyed.begin() + static_cast<ptrdiff_t>(kk), keyed.end(),
                     before);
    keyed.resize(kk);
  }
  std::sort(keyed.begin(), keyed.end(), before);
  list.resize(kk);
  for (size_t i = 0; i < kk; ++i) list[i] = {keyed[i].key & 0xFFFFFFFFu, keyed[i].value};
}

}  // namespace

std::vector<ScoredIndex> select_top_k(std::vector<ScoredIndex> list, uint64_t k) {
  if (k == 0 || list.empty()) return {};
  const size_t kk = static_cast<size_t>(std::min<uint64_t>(list.size(), k));
  const bool narrow_slots = std::all_of(list.begin(), list.end(),
                                        [](const ScoredIndex& s) { return s.slot >> 32 == 0; });
  if (narrow_slots) {
    sort_by_keys(list, kk);
    return list;
  }
  // A lambda, not the function's address: the compiler then inlines the comparison. The
  // order is total, so an unstable sort gives the one result.
  const auto before = [](const ScoredIndex& a, const ScoredIndex& b) { return ScoreBefore(a, b); };
  if (kk < list.size()) {
    std::nth_element(list.begin(), list.begin() + static_cast<ptrdiff_t>(kk), list.end(), before);
    list.resize(kk);
  }
  std::sort(list.begin(), list.end(), before);
  return list;
}

}  // namespace tamix
