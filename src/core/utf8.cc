#include "core/utf8.h"

#include <cstddef>
#include <cstdint>

namespace tamix {

bool valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](size_t j) { return static_cast<uint8_t>(text[j]); };
    const uint8_t lead = byte(i);
    size_t extra = 0;
    uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    if (byte(i + 1) < low || byte(i + 1) > high) return false;
    for (size_t j = 2; j <= extra; ++j) {
      if ((byte(i + j) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace tamix
