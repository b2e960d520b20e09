// Adding vectors: checks, metadata normalisation, the append and the id maps.
#include <tbb/task_group.h>

#include <optional>
#include <string>

#include "core/pool.h"
#include "engine/tamix.h"
#include "engine/vector_checks.h"
#include "metadata/metadata_json.h"

namespace tamix {
namespace {

// Below this many vectors, handing the append to another thread costs more than it saves.
constexpr size_t kOverlapMinBatch = 1024;

// Takes a batch back from the store and the metadata store unless dismissed, also when an
// exception unwinds: a failed add leaves nothing behind that a later flush could commit.
class BatchGuard {
 public:
  BatchGuard(VectorStore& store, MetadataStore& metadata)
      : store_(store), metadata_(metadata), start_(store.count()) {}
  ~BatchGuard() {
    if (!armed_) return;
    store_.forget_from(start_);
    metadata_.discard_from(start_);
  }
  BatchGuard(const BatchGuard&) = delete;
  BatchGuard& operator=(const BatchGuard&) = delete;

  Slot start() const { return start_; }
  void dismiss() { armed_ = false; }

 private:
  VectorStore& store_;
  MetadataStore& metadata_;
  Slot start_;
  bool armed_ = true;
};

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
  TAMIX_TRY(check_vectors(embeddings, [](size_t i) { return "Vector " + std::to_string(i); }));
  for (const std::string& id : ids) {
    if (id_to_slot_.count(id)) {
      return Error::InvalidInput("Duplicate ID: '" + id +
                                 "'. Use unique IDs or call delete() first.");
    }
  }
  std::vector<std::string> texts =
      pool::map<std::string>(n, [&](size_t i) { return normalize_metadata(metadatas[i], ids[i]); });
  // Refused here, before anything is appended, so no later flush is poisoned by it.
  for (size_t i = 0; i < n; ++i) {
    TAMIX_TRY(metadata_->check_text(texts[i]));
    TAMIX_TRY(metadata_->check_text(ids[i]));
  }

  TAMIX_TRY(check_store(StoreUse::kAdd));
  TAMIX_ASSIGN_OR_RETURN(std::vector<Slot> slots, append_with_metadata(embeddings, ids, texts));
  record_ids(ids, slots);
  return n;
}

// The vectors are written while the metadata store takes their texts: the two costs
// overlap instead of adding up. The slots are known in advance (the store appends at its
// count). Either failure takes the whole batch back from both.
Result<std::vector<Slot>> Tamix::append_with_metadata(std::span<const VectorView> embeddings,
                                                      std::span<const std::string> ids,
                                                      std::span<const std::string> texts) {
  const size_t n = ids.size();
  BatchGuard guard(store_, *metadata_);  // declared first: undoes after the wait
  std::optional<Result<std::vector<Slot>>> appended;
  tbb::task_group group;
  auto append = [&] {
    appended.emplace(store_.add(embeddings));
  };
  if (n >= kOverlapMinBatch) {
    group.run(append);
  } else {
    append();
    if (!appended->ok()) return std::move(*appended).error();
  }
  Status inserted = Ok();
  for (size_t i = 0; i < n && inserted.ok(); ++i) {
    inserted = metadata_->insert(guard.start() + i, ids[i], texts[i]);
  }
  group.wait();
  if (!appended->ok()) return std::move(*appended).error();
  TAMIX_TRY(std::move(inserted));
  guard.dismiss();
  return std::move(*appended).value();
}

void Tamix::record_ids(std::span<const std::string> ids, std::span<const Slot> slots) {
  id_to_slot_.reserve(id_to_slot_.size() + ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    auto [it, inserted] = id_to_slot_.try_emplace(ids[i], slots[i]);
    if (!inserted) {
      shadowed_slots_[ids[i]].push_back(it->second);
      it->second = slots[i];
    }
    slot_to_id_.set(slots[i], ids[i]);
    live_.insert(slots[i]);
  }
}

}  // namespace tamix
