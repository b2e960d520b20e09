#include "core/console.h"

#include <cstdio>
#include <string>

namespace tamix::console {
namespace {

void write_line(FILE* stream, std::string_view line) {
  std::string whole(line);
  whole += '\n';
  flockfile(stream);
  fwrite(whole.data(), 1, whole.size(), stream);
  fflush(stream);
  funlockfile(stream);
}

}  // namespace

void out_line(std::string_view line) { write_line(stdout, line); }
void err_line(std::string_view line) { write_line(stderr, line); }

}  // namespace tamix::console
