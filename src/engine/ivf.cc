// The IVF index in the engine: its configuration, training, placing and saving.
#include <filesystem>

#include "engine/tamix.h"
#include "index/ivf/ivf_index.h"

namespace tamix {

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
  return ivf_index_->save((std::filesystem::path(path_) / "ivf").string());
}

}  // namespace tamix
