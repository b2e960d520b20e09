#include "engine/hit_texts.h"

#include <algorithm>
#include <unordered_map>

namespace tamix {

Status check_hit_texts(const std::vector<std::vector<ScoredIndex>>& scored, const ReadTexts& read) {
  Slot end = 0;
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) end = std::max(end, s.slot + 1);
  }
  std::vector<bool> hit(static_cast<size_t>(end));
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) hit[static_cast<size_t>(s.slot)] = true;
  }
  std::vector<Slot> slots;
  for (Slot slot = 0; slot < end; ++slot) {
    if (hit[static_cast<size_t>(slot)]) slots.push_back(slot);
  }
  std::unordered_map<Slot, Error> failed;
  read(slots, [&](size_t i, Error error) { failed.emplace(slots[i], std::move(error)); });
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) {
      if (auto it = failed.find(s.slot); it != failed.end()) return std::move(it->second);
    }
  }
  return Ok();
}

}  // namespace tamix
