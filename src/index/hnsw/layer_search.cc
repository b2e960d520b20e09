#include "index/hnsw/layer_search.h"

namespace tamix::hnsw {

void Scratch::start(NodeId nodes) {
  if (++epoch == 0) {  // wrapped: old marks could match again
    std::fill(marks.begin(), marks.end(), 0);
    epoch = 1;
  }
  if (marks.size() < nodes) marks.resize(nodes, 0);
  candidates.clear();
  results.clear();
}

Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

}  // namespace tamix::hnsw
