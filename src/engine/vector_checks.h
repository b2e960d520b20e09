// Refusal of vectors and queries the cosine kernels cannot score: NaN or infinite
// components, and squared norms outside the normal float range (core/norm.h). The kernels
// would score either as a perfect match, so such a vector would top every search. Also
// the dimension range of the constructors over "vectors.bin".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

// "Vector 3", "Query", "Query 3": how a refusal names the vector.
using VectorName = std::string (*)(size_t index);

// Refuses the first vector with a NaN or infinite component, else the first whose squared
// norm cannot be normalised (kInvalidInput).
Status check_vectors(std::span<const VectorView> vectors, VectorName name);

// Refuses a dimension outside the range a "vectors.bin" header may hold (128..4096):
// "Dimension must be between 128 and 4096, got {dimension}" followed by `advice`.
Status check_dimension(uint64_t dimension, std::string_view advice = "");

}  // namespace tamix
