#include "engine/modes.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace tamix {
namespace {

// Product quantization has no mode: its words ask for the PQ store with the flat mode.
constexpr ModeWord kModeWords[] = {
    {"flat", IndexMode::Flat, FlagRule::kFromStore, true},
    {"hnsw", IndexMode::Hnsw, FlagRule::kFromStore, true},
    {"auto", IndexMode::Auto, FlagRule::kFromStore, true},
    {"sq8", IndexMode::Sq8, FlagRule::kSet, true},
    {"scalar", IndexMode::Sq8, FlagRule::kSet, true},
    {"pq", IndexMode::Flat, FlagRule::kSet, false},
    {"product", IndexMode::Flat, FlagRule::kSet, false},
    {"ivf", IndexMode::Ivf, FlagRule::kKeep, true},
};

}  // namespace

const ModeWord* find_mode_word(std::string_view word) {
  std::string key(word);
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto* entry = std::find_if(std::begin(kModeWords), std::end(kModeWords),
                                   [&](const ModeWord& m) { return m.word == key; });
  return entry == std::end(kModeWords) ? nullptr : entry;
}

std::string_view mode_log_name(IndexMode mode) {
  switch (mode) {
    case IndexMode::Flat:
      return "Flat";
    case IndexMode::Hnsw:
      return "Hnsw";
    case IndexMode::Sq8:
      return "Sq8";
    case IndexMode::Ivf:
      return "Ivf";
    case IndexMode::Auto:
      return "Auto";
  }
  return "Flat";
}

}  // namespace tamix
