// Lifecycle, persist and the inspection methods.
#include "engine/tamix.h"

#include <cstdio>

namespace tamix {

Tamix::~Tamix() {
  if (!opened_in_this_process()) {
    // Closing the connection would checkpoint the parent's WAL and remove it.
    (void)flat_storage_.release();
    (void)pq_storage_.release();
    (void)sq8_storage_.release();
    (void)metadata_.release();
    return;
  }
  commit_on_release();
  hnsw_index_.reset();
  ivf_index_.reset();
  flat_storage_.reset();
  pq_storage_.reset();
  sq8_storage_.reset();
  metadata_.reset();
}

void Tamix::flush_on_exit() {
  if (opened_in_this_process()) commit_on_release();
}

bool Tamix::opened_in_this_process() const { return ::getpid() == opener_; }

void Tamix::commit_on_release() {
  if (!metadata_ || !settled_) return;
  if (flush_stores().ok()) {
    (void)metadata_->commit({vector_count(), vector_store_kind()});
  } else {
    (void)metadata_->flush();  // the point stays where the synced vectors are
  }
}

Status Tamix::persist(const Unlocked& unlocked) {
  if (mode_ == IndexMode::Auto) check_and_migrate();
  // The indexes take in the new vectors while the device writes them.
  TAMIX_TRY(prepare_flush_stores());
  const auto catch_up = [this] {
    catch_up_graph();
    place_new_in_ivf();
  };
  unlocked ? unlocked(catch_up) : catch_up();
  TAMIX_TRY(flush_stores());
  TAMIX_TRY(metadata_->commit({vector_count(), vector_store_kind()}));
  // The index files follow the commit point, never run ahead of it or stand in its way:
  // opening a graph with nodes the commit lacks drops them, and with them links that kept
  // committed nodes reachable. A file that cannot be written fails this persist, and the
  // next one writes it again.
  TAMIX_TRY(save_ivf());
  return save_graph();
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
      live_.erase(slot);
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
  std::string stats = "vectors=" + std::to_string(vector_count());
  if (pq_storage_) {
    const uint64_t total = pq_storage_->count() * pq_storage_->code_size();
    const float ratio = static_cast<float>(total * pq_storage_->quantizer().d_sub() * 4) /
                        static_cast<float>(std::max<uint64_t>(total, 1));
    char compression[64];
    std::snprintf(compression, sizeof compression, "%.1f", ratio);
    stats = "vectors=" + std::to_string(pq_storage_->count()) +
            ", memory=" + std::to_string(total >> 20) + "MB, compression=" + compression + "x";
  }
  return "Tamix(dimension=" + std::to_string(dimension_) + ", mode='" + mode_name_ + "', " + stats +
         ")";
}

}  // namespace tamix
