#include "engine/vector_checks.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/file_header.h"
#include "core/norm.h"
#include "core/pool.h"

namespace tamix {
namespace {

enum class Fault : uint8_t { kNone, kNonFinite, kNorm };

Fault fault_of(VectorView v) {
  if (!all_finite(v)) return Fault::kNonFinite;
  return normalizable(squared_norm(v)) ? Fault::kNone : Fault::kNorm;
}

}  // namespace

Status check_vectors(std::span<const VectorView> vectors, VectorName name) {
  const std::vector<Fault> faults =
      pool::map<Fault>(vectors.size(), [&](size_t i) { return fault_of(vectors[i]); });
  for (Fault wanted : {Fault::kNonFinite, Fault::kNorm}) {
    const auto it = std::find(faults.begin(), faults.end(), wanted);
    if (it == faults.end()) continue;
    const std::string who = name(static_cast<size_t>(it - faults.begin()));
    return Error::InvalidInput(wanted == Fault::kNonFinite
                                   ? who + " contains NaN or infinite values"
                                   : who + " cannot be normalized (squared norm out of range)");
  }
  return Ok();
}

Status check_dimension(uint64_t dimension, std::string_view advice) {
  using H = VectorFileHeader;
  if (dimension >= H::kMinValidDimension && dimension <= H::kMaxValidDimension) return Ok();
  return Error::InvalidInput("Dimension must be between " + std::to_string(H::kMinValidDimension) +
                             " and " + std::to_string(H::kMaxValidDimension) + ", got " +
                             std::to_string(dimension) + std::string(advice));
}

}  // namespace tamix
