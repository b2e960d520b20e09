// Well-formed UTF-8 as Python decodes it: no overlong forms, surrogates or code points
// above U+10FFFF. What every text handed to Python must be.
#pragma once

#include <string_view>

namespace tamix {

bool valid_utf8(std::string_view text);

}  // namespace tamix
