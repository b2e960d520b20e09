#include "storage/candidate_list.h"

#include <algorithm>
#include <cmath>

namespace tamix {

CandidateList::CandidateList(uint64_t k, double margin)
    : k_(k), margin_(margin), capacity_(static_cast<size_t>(std::max<uint64_t>(2 * k, k + 64))) {}

void CandidateList::absorb(const CandidateList& other) {
  for (const Candidate& c : other.entries_) {
    if (c.approx >= floor_) add(c.slot, c.approx);
  }
}

const std::vector<Candidate>& CandidateList::finish() {
  prune();
  return entries_;
}

void CandidateList::prune() {
  if (entries_.size() < k_ || k_ == 0) return;
  auto kth = entries_.begin() + static_cast<ptrdiff_t>(k_ - 1);
  std::nth_element(entries_.begin(), kth, entries_.end(),
                   [](const Candidate& a, const Candidate& b) { return a.approx > b.approx; });
  // Rounded down, so the floor never lies above the k-th best minus the margin.
  const float floor = std::nextafter(static_cast<float>(kth->approx - margin_),
                                     -std::numeric_limits<float>::infinity());
  floor_ = std::max(floor_, floor);
  std::erase_if(entries_, [this](const Candidate& c) { return c.approx < floor_; });
  // Many entries within the margin of each other (near-ties): grow instead of pruning again
  // after every few additions.
  if (entries_.size() * 2 > capacity_) capacity_ *= 2;
}

}  // namespace tamix
