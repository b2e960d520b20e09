// SlotIds: the id of each slot that has one. Slots are dense from 0, so the ids sit in an
// array by slot: a search's hits find theirs with one read each, where a hash map missed
// the cache two or three times a hit. Reads are safe from many threads while nothing writes.
#pragma once

#include <string>
#include <vector>

#include "core/live_slots.h"
#include "core/types.h"

namespace tamix {

class SlotIds {
 public:
  // Null when the slot has no id.
  const std::string* find(Slot slot) const { return has_.contains(slot) ? &ids_[slot] : nullptr; }

  // Starts loading a slot's id: the hits' ids are far apart, and copying one waits for it.
  void prefetch(Slot slot) const {
    if (slot < ids_.size()) __builtin_prefetch(&ids_[slot]);
  }

  void set(Slot slot, std::string id) {
    if (slot >= ids_.size()) ids_.resize(slot + 1);
    ids_[slot] = std::move(id);
    has_.insert(slot);
  }

  void erase(Slot slot) {
    if (!has_.contains(slot)) return;
    has_.erase(slot);
    ids_[slot] = std::string();
  }

  // Calls f(slot) for every slot with an id, ascending.
  template <class F>
  void for_each_slot(F&& f) const {
    has_.for_each_in(0, ids_.size(), f);
  }

 private:
  std::vector<std::string> ids_;  // by slot; empty where has_ lacks the slot
  LiveSlots has_;
};

}  // namespace tamix
