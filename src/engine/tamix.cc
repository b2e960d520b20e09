// Lifecycle, persist and the inspection methods.
#include "engine/tamix.h"

namespace tamix {

Tamix::~Tamix() {
  flat_storage_.reset();  // its drop flushes
  if (metadata_) (void)metadata_->flush();
  metadata_.reset();
}

void Tamix::flush_on_exit() {
  if (flat_storage_) (void)flat_storage_->flush();
  if (metadata_) (void)metadata_->flush();
}

uint64_t Tamix::vector_count() const { return flat_storage_ ? flat_storage_->count() : 0; }

Status Tamix::persist() {
  if (flat_storage_) TAMIX_TRY(flat_storage_->flush());
  return metadata_->flush();
}

Result<std::optional<std::string>> Tamix::get(std::string_view id) const {
  auto it = id_to_slot_.find(std::string(id));
  if (it == id_to_slot_.end()) return Error::InvalidInput("ID not found: " + std::string(id));
  return metadata_->get(it->second);
}

uint64_t Tamix::count() const { return vector_count(); }

size_t Tamix::delete_ids(std::span<const std::string> ids) {
  size_t deleted = 0;
  for (const std::string& id : ids) {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) continue;
    std::vector<Slot> slots{it->second};
    id_to_slot_.erase(it);
    if (auto shadowed = shadowed_slots_.find(id); shadowed != shadowed_slots_.end()) {
      slots.insert(slots.end(), shadowed->second.begin(), shadowed->second.end());
      shadowed_slots_.erase(shadowed);
    }
    for (Slot slot : slots) {
      slot_to_id_.erase(slot);
      // A flush that fails here keeps the removal pending; the next persist reports it.
      (void)metadata_->remove_id(slot);
    }
    ++deleted;
  }
  return deleted;
}

std::vector<std::string> Tamix::get_all_ids() const {
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  for (const auto& entry : id_to_slot_) out.push_back(entry.first);
  return out;
}

std::string Tamix::info() const {
  return "Tamix(dimension=" + std::to_string(dimension_) + ", mode='" + mode_name_ +
         "', vectors=" + std::to_string(vector_count()) + ")";
}

}  // namespace tamix
