// Adding vectors: checks, metadata normalisation, the append and the id maps.
#include <cstring>
#include <string>

#include "engine/metadata_json.h"
#include "engine/tamix.h"

namespace tamix {
namespace {

// NaN and infinities have every exponent bit set.
bool all_finite(VectorView v) {
  uint32_t bad = 0;
  for (float x : v) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad == 0;
}

}  // namespace

Result<size_t> Tamix::add(std::span<const std::string> ids, std::span<const VectorView> embeddings,
                          std::span<const std::string> metadatas) {
  const size_t n = ids.size();
  if (embeddings.size() != n || metadatas.size() != n) {
    return Error::InvalidInput("ids, embeddings, and metadatas must have same length");
  }
  for (size_t i = 0; i < n; ++i) {
    if (embeddings[i].size() != dimension_) {
      std::string d = std::to_string(dimension_);
      return Error::InvalidInput("Vector " + std::to_string(i) + " has dimension " +
                                 std::to_string(embeddings[i].size()) + ", expected " + d +
                                 ". Database was created with dimension " + d +
                                 ". Common models: 384 (MiniLM), 768 (MPNet), 1536 (OpenAI)");
    }
  }
  // Cosine kernels score non-finite vectors as perfect matches; such a vector would top
  // every search.
  for (size_t i = 0; i < n; ++i) {
    if (!all_finite(embeddings[i])) {
      return Error::InvalidInput("Vector " + std::to_string(i) +
                                 " contains NaN or infinite values");
    }
  }
  for (const std::string& id : ids) {
    if (id_to_slot_.count(id)) {
      return Error::InvalidInput("Duplicate ID: '" + id +
                                 "'. Use unique IDs or call delete() first.");
    }
  }
  std::vector<std::string> texts(n);
  for (size_t i = 0; i < n; ++i) {
    texts[i] = normalize_metadata(metadatas[i], ids[i]);
    // Refused here, before anything is appended, so no later flush is poisoned by it.
    TAMIX_TRY(metadata_->check_text(texts[i]));
    TAMIX_TRY(metadata_->check_text(ids[i]));
  }

  std::vector<Slot> slots;
  if (use_quantization_flag_) {
    return Error::Message("Quantization enabled but quantized storage not initialized");
  }
  if (!flat_storage_) return Error::Message("Vector storage not initialized");
  TAMIX_ASSIGN_OR_RETURN(slots, flat_storage_->add(embeddings));
  for (size_t i = 0; i < n; ++i) {
    TAMIX_TRY(metadata_->insert(slots[i], ids[i], texts[i]));
  }
  record_ids(ids, slots);
  return n;
}

void Tamix::record_ids(std::span<const std::string> ids, std::span<const Slot> slots) {
  for (size_t i = 0; i < ids.size(); ++i) {
    auto [it, inserted] = id_to_slot_.try_emplace(ids[i], slots[i]);
    if (!inserted) {
      shadowed_slots_[ids[i]].push_back(it->second);
      it->second = slots[i];
    }
    slot_to_id_[slots[i]] = ids[i];
  }
}

}  // namespace tamix
