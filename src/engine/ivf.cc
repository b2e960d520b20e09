// The IVF index in the engine: its loading, configuration, training, placing and saving.
#include <algorithm>
#include <filesystem>

#include "core/console.h"
#include "engine/tamix.h"
#include "index/ivf/ivf_index.h"

namespace tamix {
namespace {

std::string ivf_dir(const std::string& path) {
  return (std::filesystem::path(path) / "ivf").string();
}

std::string joined(const Error& error) {
  std::string out;
  for (const std::string& part : error.chain()) out += (out.empty() ? "" : ": ") + part;
  return out;
}

}  // namespace

// The index the files under "ivf" hold, when they are there; like the graph, only beside
// the flat store holding the vectors, and only for the slots the open found committed.
// An index that fails to load starts untrained and leaves the files as they are.
void Tamix::load_or_create_ivf() {
  const std::string dir = ivf_dir(path_);
  ivf_index_ = std::make_unique<IvfIndex>(IvfConfig{});
  if (!store_.flat() || !IvfIndex::saved(dir)) return;
  Result<std::unique_ptr<IvfIndex>> loaded =
      IvfIndex::load(dir, dimension_, std::min(opened_count_, vector_count()));
  if (loaded.ok()) {
    ivf_index_ = std::move(loaded).value();
    return;
  }
  console::err_line("Failed to load IVF index: " + joined(loaded.error()));
  ivf_index_->hold_files();
}

Status Tamix::configure_ivf(uint64_t nlist, uint64_t nprobe) {
  TAMIX_TRY(check_nlist(nlist));
  // No probe answers nothing; nlist 0 at least falls back to the exact search.
  if (nprobe == 0) return Error::InvalidInput("nprobe must be at least 1, got 0");
  if (mode_ == IndexMode::Ivf) {
    ivf_index_ = std::make_unique<IvfIndex>(IvfConfig::configured(nlist, nprobe));
  }
  return Ok();
}

Status Tamix::train_ivf() {
  if (!ivf_index_) {
    return Error::Message("IVF mode not enabled. Call set_mode(IndexMode::Ivf) first.");
  }
  return ivf_index_->train(store_.flat());
}

bool Tamix::ivf_answers() const { return ivf_index_ && ivf_index_->trained() && store_.flat(); }

void Tamix::place_new_in_ivf() {
  FlatStorage* flat = store_.flat();
  if (ivf_index_ && flat) ivf_index_->place_new(*flat, flat->count());
}

Status Tamix::save_ivf() {
  if (!ivf_index_) return Ok();
  return ivf_index_->save(ivf_dir(path_));
}

}  // namespace tamix
