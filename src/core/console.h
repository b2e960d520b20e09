// Progress and warning lines. Each line is written whole and flushed, so lines from
// several threads or from the host program never interleave within a line.
#pragma once

#include <string_view>

namespace tamix::console {

void out_line(std::string_view line);  // standard output
void err_line(std::string_view line);  // standard error

}  // namespace tamix::console
