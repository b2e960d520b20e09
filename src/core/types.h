// Shared value types of every layer.
#pragma once

#include <cstdint>
#include <span>

namespace tamix {

// A vector slot: position of a vector in its store, dense from 0 in insertion order.
using Slot = uint64_t;

// A borrowed vector of 32-bit floats; the owner outlives every use.
using VectorView = std::span<const float>;

// A slot with a distance (smaller is closer) or a score (larger is better).
struct ScoredIndex {
  Slot slot;
  float value;
};

}  // namespace tamix
