#include "storage/candidate_list.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>

namespace tamix {

CandidateList::CandidateList(uint64_t k, double margin)
    : k_(k), margin_(margin), capacity_(static_cast<size_t>(std::max<uint64_t>(2 * k, k + 64))) {}

void CandidateList::raise_floor(std::span<const float> approxes) {
  if (approxes.size() < k_ || k_ == 0) return;
  // A few entries: their k-th best, selected.
  constexpr size_t kSelectedAtMost = 128;
  if (approxes.size() <= kSelectedAtMost) {
    std::array<float, kSelectedAtMost> copy;
    std::copy(approxes.begin(), approxes.end(), copy.begin());
    const auto kth = copy.begin() + static_cast<ptrdiff_t>(k_ - 1);
    std::nth_element(copy.begin(), kth, copy.begin() + static_cast<ptrdiff_t>(approxes.size()),
                     std::greater<float>());
    return raise_floor_to(*kth);
  }
  // Many: a histogram of the cosines over [-1, 1] finds a value with at least k entries at
  // or above it in two passes, where a selection of the k-th best costs several times more.
  constexpr int kBins = 1024;
  constexpr float kPerUnit = kBins / 2.0f;
  const auto bin_of = [](float a) {
    return static_cast<int>(std::clamp((a + 1.0f) * kPerUnit, 0.0f, kBins - 1.0f));
  };
  std::array<uint32_t, kBins> counts{};
  for (const float a : approxes) ++counts[bin_of(a)];
  uint64_t above = 0;
  int b = kBins - 1;
  while (b > 0 && (above += counts[b]) < k_) --b;
  // The bin's lower edge, checked by counting: its rounding need not match bin_of's.
  for (;; --b) {
    const float edge = b == 0 ? -std::numeric_limits<float>::infinity() : b / kPerUnit - 1.0f;
    uint64_t reaching = 0;
    for (const float a : approxes) reaching += a >= edge;
    if (reaching >= k_) return raise_floor_to(edge);
  }
}

void CandidateList::raise_floor_to(float kth) {
  // Rounded down, so the floor never lies above the k-th best minus the margin.
  const float floor = std::nextafter(static_cast<float>(kth - margin_),
                                     -std::numeric_limits<float>::infinity());
  floor_ = std::max(floor_, floor);
}

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
  approxes_.clear();
  for (const Candidate& c : entries_) approxes_.push_back(c.approx);
  raise_floor(approxes_);
  // Kept in the order added, which is slot order within one worker's list.
  std::erase_if(entries_, [this](const Candidate& c) { return c.approx < floor_; });
  // Many entries within the margin of each other (near-ties): grow instead of pruning again
  // after every few additions.
  if (entries_.size() * 2 > capacity_) capacity_ *= 2;
}

}  // namespace tamix
