// The IVF index in the engine and the mode methods that steer it.
#include <filesystem>

#include "engine/tamix.h"

namespace tamix {
Status Tamix::set_mode_word(std::string word) {
  const std::string lower = mode_word_key(word);
  // A quantized store keeps answering: no word clears the flag while one holds the vectors.
  const bool quantized = has_quantized_store();
  if (lower == "flat" || lower == "hnsw") {
    mode_ = lower == "flat" ? IndexMode::Flat : IndexMode::Hnsw;
    storage_kind_ = lower == "flat" ? IndexKind::Flat : IndexKind::Hnsw;
    use_quantization_flag_ = quantized;
  } else if (lower == "sq8" || lower == "scalar") {
    mode_ = IndexMode::Sq8;
    storage_kind_ = IndexKind::Sq8;
    quantization_kind_ = QuantizationType::Scalar;
    use_quantization_flag_ = true;
  } else if (lower == "ivf") {
    set_mode(IndexMode::Ivf);
  } else if (lower == "auto") {
    set_mode(IndexMode::Auto);
  } else {
    return Error::InvalidInput("Invalid mode: " + word);
  }
  mode_name_ = std::move(word);
  return Ok();
}

Status Tamix::configure_ivf(uint64_t nlist, uint64_t nprobe) {
  TAMIX_TRY(check_nlist(nlist));
  // No probe answers nothing; nlist 0 at least falls back to the exact search.
  if (nprobe == 0) return Error::InvalidInput("nprobe must be at least 1, got 0");
  ivf_config_ = IvfConfig::configured(nlist, nprobe);
  if (mode_ == IndexMode::Ivf) ivf_index_ = std::make_unique<IvfIndex>(*ivf_config_);
  return Ok();
}

Status Tamix::train_ivf() {
  if (!ivf_index_) {
    return Error::Message("IVF mode not enabled. Call set_mode(IndexMode::Ivf) first.");
  }
  return ivf_index_->train(flat_storage_.get());
}

bool Tamix::ivf_answers() const { return ivf_index_ && ivf_index_->trained() && flat_storage_; }

void Tamix::place_new_in_ivf() {
  if (ivf_index_ && flat_storage_) ivf_index_->place_new(*flat_storage_, flat_storage_->count());
}

Status Tamix::save_ivf() {
  if (!ivf_index_) return Ok();
  return ivf_index_->save((std::filesystem::path(path_) / "ivf").string());
}

}  // namespace tamix
