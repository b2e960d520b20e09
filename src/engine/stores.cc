// Which store holds the vectors and answers: the one decision adding, the searches,
// counting, persist and release all ask.
#include <cmath>

#include "engine/tamix.h"

namespace tamix {

const char* Tamix::store_file(uint64_t kind) {
  if (kind == kSq8Store) return "sq8_vectors.bin";
  return kind == kPqStore ? "quantized_vectors.bin" : "vectors.bin";
}

std::optional<StoreRef> Tamix::vector_store() const {
  if (sq8_storage_) return StoreRef(sq8_storage_.get());
  if (pq_storage_) return StoreRef(pq_storage_.get());
  if (flat_storage_) return StoreRef(flat_storage_.get());
  return std::nullopt;
}

// A quantized store answers whatever the flag says, so a mode change can never strand the
// vectors it holds; the flag only matters where no quantized store exists.
Result<StoreRef> Tamix::store_for(StoreUse use) const {
  if (use_quantization_flag_ && !has_quantized_store()) {
    return Error::Message(use == StoreUse::kSearch
                              ? "Product Quantization enabled but storage not initialized"
                              : "Quantization enabled but quantized storage not initialized");
  }
  if (const std::optional<StoreRef> store = vector_store()) return *store;
  return Error::Message("Vector storage not initialized");
}

uint64_t Tamix::vector_store_kind() const {
  if (sq8_storage_) return kSq8Store;
  return pq_storage_ ? kPqStore : kFlatStore;
}

uint64_t Tamix::vector_count() const {
  const std::optional<StoreRef> store = vector_store();
  return store ? std::visit([](auto* s) { return s->count(); }, *store) : 0;
}

template <class Step>
Status Tamix::in_flush_order(Step step) {
  if (flat_storage_) TAMIX_TRY(step(*flat_storage_));
  if (pq_storage_) TAMIX_TRY(step(*pq_storage_));
  if (sq8_storage_) TAMIX_TRY(step(*sq8_storage_));
  return Ok();
}

Status Tamix::prepare_flush_stores() {
  return in_flush_order([](auto& store) { return store.prepare_flush(); });
}

Status Tamix::flush_stores() {
  return in_flush_order([](auto& store) { return store.flush(); });
}

bool Tamix::scorable(Slot slot) const {
  if (sq8_storage_) return !std::isnan(sq8_storage_->norm(slot));
  if (pq_storage_) return true;  // codes name centroids; every record scores
  return flat_storage_ && !std::isnan(flat_storage_->norm(slot));
}

void Tamix::drop_unscorable() {
  for (const auto& [slot, id] : slot_to_id_) {
    if (!scorable(slot)) live_.erase(slot);
  }
}

}  // namespace tamix
