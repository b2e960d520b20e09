// The engine's enumerations; each is stored in one byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamix {

enum class IndexMode : uint8_t { Flat = 0, Hnsw = 1, Sq8 = 2, Ivf = 3, Auto = 4 };
enum class IndexKind : uint8_t { Flat = 0, Hnsw = 1, Sq8 = 2, Pq = 3, Ivf = 5 };
enum class QuantizationType : uint8_t { None = 0, Scalar = 1, Product = 2 };

// The name in log lines: the variant name.
std::string_view mode_log_name(IndexMode mode);
// A mode word as the constructor and set_mode compare it: lower case.
std::string mode_word_key(std::string word);
// How the adaptive check reads a storage kind as a mode.
IndexMode kind_as_mode(IndexKind kind);

inline constexpr uint64_t AUTO_TUNE_SQ8_THRESHOLD = 50000;

// The adaptive selection: Sq8 from AUTO_TUNE_SQ8_THRESHOLD vectors on, else Flat.
inline IndexMode auto_selection(uint64_t vector_count) {
  return vector_count / 16 > 3124 ? IndexMode::Sq8 : IndexMode::Flat;
}

}  // namespace tamix
