// What the store in use allows: the uses the mode refuses, and the slots it cannot score.
#include "engine/tamix.h"

namespace tamix {

// A quantized store answers whatever the flag says, so a mode change can never strand the
// vectors it holds; the flag only matters where no quantized store exists.
Status Tamix::check_store(StoreUse use) const {
  if (use_quantization_flag_ && !store_.quantized()) {
    return Error::Message(use == StoreUse::kSearch
                              ? "Product Quantization enabled but storage not initialized"
                              : "Quantization enabled but quantized storage not initialized");
  }
  if (!store_) return Error::Message("Vector storage not initialized");
  return Ok();
}

void Tamix::drop_unscorable() {
  slot_to_id_.for_each_slot([&](Slot slot) {
    if (!store_.scorable(slot)) live_.erase(slot);
  });
}

}  // namespace tamix
