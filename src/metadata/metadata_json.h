// Rewrites a metadata text into the compact JSON stored for a vector: keys sorted by
// bytes at every level, "__id__" set to the vector's id when the value is an object.
#pragma once

#include <string>
#include <string_view>

namespace tamix {

// Never fails: a text that is not exactly one JSON value becomes {"__id__": id}.
std::string normalize_metadata(std::string_view text, std::string_view id);

}  // namespace tamix
