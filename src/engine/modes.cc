#include "engine/modes.h"

#include <algorithm>
#include <cctype>

namespace tamix {

std::string mode_word_key(std::string word) {
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return word;
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

IndexMode kind_as_mode(IndexKind kind) {
  switch (kind) {
    case IndexKind::Flat:
      return IndexMode::Flat;
    case IndexKind::Hnsw:
      return IndexMode::Hnsw;
    case IndexKind::Sq8:
      return IndexMode::Sq8;
    case IndexKind::Pq:
      return IndexMode::Flat;
    case IndexKind::Ivf:
      return IndexMode::Ivf;
  }
  return IndexMode::Flat;
}

}  // namespace tamix
