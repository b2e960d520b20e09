// The engine's modes and the mode words that name them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamix {

enum class IndexMode : uint8_t { Flat = 0, Hnsw = 1, Sq8 = 2, Ivf = 3, Auto = 4 };

// The name in log lines: the variant name.
std::string_view mode_log_name(IndexMode mode);

// What a mode word does to the quantization flag: sets it, sets it to whether the store
// is quantized, or leaves it.
enum class FlagRule : uint8_t { kSet, kFromStore, kKeep };

struct ModeWord {
  std::string_view word;
  IndexMode mode;
  FlagRule flag;
  bool set_mode_accepts;  // the constructor accepts every word
};

// The entry of a mode word in any case; null for a word of no entry.
const ModeWord* find_mode_word(std::string_view word);

inline constexpr uint64_t AUTO_TUNE_SQ8_THRESHOLD = 50000;

// The adaptive selection: Sq8 from AUTO_TUNE_SQ8_THRESHOLD vectors on, else Flat.
inline IndexMode auto_selection(uint64_t vector_count) {
  return vector_count >= AUTO_TUNE_SQ8_THRESHOLD ? IndexMode::Sq8 : IndexMode::Flat;
}

}  // namespace tamix
