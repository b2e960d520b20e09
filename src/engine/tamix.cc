// Lifecycle, persist and the inspection methods.
#include "engine/tamix.h"

#include <pthread.h>

#include <atomic>

#include "core/utf8.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_index.h"

namespace tamix {
namespace {

// getpid is a system call, and the binding asks before every call; the id changes only in
// a fork's child, where the handler sets it before fork returns.
pid_t process_id() {
  static std::atomic<pid_t> id = [] {
    pthread_atfork(nullptr, nullptr, [] { id.store(::getpid(), std::memory_order_relaxed); });
    return ::getpid();
  }();
  return id.load(std::memory_order_relaxed);
}

}  // namespace

Tamix::Tamix() = default;

Tamix::~Tamix() {
  if (!opened_in_this_process()) {
    // Closing the connection would checkpoint the parent's WAL and remove it.
    store_.abandon();
    (void)metadata_.release();
    return;
  }
  // A refused open leaves metadata.db and its WAL as it found them.
  if (!settled_ && metadata_) metadata_->leave_as_found();
  commit_on_release();
  hnsw_index_.reset();
  ivf_index_.reset();
  store_ = VectorStore();
  metadata_.reset();
}

void Tamix::flush_on_exit() {
  if (opened_in_this_process()) commit_on_release();
}

bool Tamix::opened_in_this_process() const { return process_id() == opener_; }

void Tamix::commit_on_release() {
  if (!metadata_ || !settled_) return;
  if (store_.flush().ok()) {
    (void)metadata_->commit({vector_count(), store_.number()});
  } else {
    (void)metadata_->flush();  // the point stays where the synced vectors are
  }
}

Status Tamix::persist(const Unlocked& unlocked) {
  if (mode_ == IndexMode::Auto) check_and_migrate();
  // The indexes take in the new vectors while the device writes them.
  TAMIX_TRY(store_.prepare_flush());
  const auto catch_up = [this] {
    catch_up_graph();
    place_new_in_ivf();
  };
  // Releasing the interpreter lock cost more than the catch-up of a search with nothing new.
  const bool long_work = graph_behind() || ivf_index_;
  unlocked && long_work ? unlocked(catch_up) : catch_up();
  TAMIX_TRY(store_.flush());
  TAMIX_TRY(metadata_->commit({vector_count(), store_.number()}));
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
  TAMIX_ASSIGN_OR_RETURN(std::optional<std::string> text, metadata_->get(it->second));
  // Only a file another program wrote holds such a text; Python could not take it.
  if (text && !valid_utf8(*text)) {
    return Error::Message("Metadata is not valid UTF-8: " + std::string(id));
  }
  return text;
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
  return "Tamix(dimension=" + std::to_string(dimension_) + ", mode='" + mode_name_ + "', " +
         store_.stats() + ")";
}

}  // namespace tamix
