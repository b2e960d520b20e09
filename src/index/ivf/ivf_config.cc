#include "index/ivf/ivf_config.h"

#include <string>

namespace tamix {

IvfConfig IvfConfig::configured(uint64_t nlist, uint64_t nprobe) {
  IvfConfig c;
  c.nlist = nlist;
  c.nprobe = nprobe;
  c.max_iterations = 10;
  return c;
}

Status check_nlist(uint64_t nlist) {
  if (nlist <= kMaxIvfLists) return Ok();
  return Error::InvalidInput("nlist must be at most " + std::to_string(kMaxIvfLists) + ", got " +
                             std::to_string(nlist));
}

}  // namespace tamix
