#include "index/node_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <thread>

#include "index/hnsw_level.h"

namespace tamix::hnsw {
namespace {

constexpr size_t kUpperChunkWords = size_t{1} << 16;

void store(uint32_t& word, uint32_t value) {
  std::atomic_ref<uint32_t>(word).store(value, std::memory_order_release);
}

void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

NodeTable::NodeTable(uint32_t capacity0, uint32_t capacity_upper)
    : capacity0_(std::min(capacity0, kMaxLinks)),
      capacity_upper_(std::min(capacity_upper, kMaxLinks)) {}

NodeTable::~NodeTable() {
  for (auto& s : segments_) {
    Segment* segment = s.load(std::memory_order_relaxed);
    if (segment != nullptr) ::operator delete (segment, std::align_val_t{64});
  }
}

// One allocation holds the segment's three arrays, zeroed: entries start with no lists.
NodeTable::Segment* NodeTable::new_segment(int index) const {
  const size_t entries = size_t{1} << (index + kFirstBits);
  const size_t head = (sizeof(Segment) + 63) / 64 * 64;
  const size_t slots_bytes = entries * sizeof(Slot);
  const size_t info_bytes = entries * sizeof(Info);
  const size_t bytes = head + slots_bytes + info_bytes + entries * stride0() * sizeof(uint32_t);
  auto* memory = static_cast<uint8_t*>(::operator new (bytes, std::align_val_t{64}));
  std::memset(memory, 0, bytes);
  auto* segment = new (memory) Segment;
  segment->slots = reinterpret_cast<Slot*>(memory + head);
  segment->info = new (memory + head + slots_bytes) Info[entries]();
  segment->links0 = reinterpret_cast<uint32_t*>(memory + head + slots_bytes + info_bytes);
  return segment;
}

NodeId NodeTable::add(Slot slot) {
  const NodeId id = size_.load(std::memory_order_relaxed);
  if (id == kNoNode) return kNoNode;
  const int index = std::bit_width(uint64_t{id} + (uint64_t{1} << kFirstBits)) - 1 - kFirstBits;
  if (segments_[index].load(std::memory_order_relaxed) == nullptr) {
    segments_[index].store(new_segment(index), std::memory_order_release);
  }
  const Place place = at(id);
  place.segment->slots[place.offset] = slot;
  if (slot != id) in_order_.store(false, std::memory_order_release);
  size_.store(id + 1, std::memory_order_release);
  return id;
}

void NeighborList::assign(std::span<const NodeId> ids, std::span<const float> distances,
                          uint32_t kept) const {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(ids.size(), capacity_));
  for (uint32_t i = 0; i < n; ++i) store(words_[1 + i], ids[i]);
  const bool known = distances.size() == ids.size();
  if (known) {
    for (uint32_t i = 0; i < n; ++i) {
      words_[1 + capacity_ + i] = std::bit_cast<uint32_t>(distances[i]);
    }
  }
  uint32_t word = n | (known ? kKnown : 0);
  if (known && n == ids.size() && kept <= n) word |= kChosen | kept << kKeptShift;
  store(words_[0], word);
}

void NeighborList::append(NodeId id, float distance) const {
  const uint32_t word = load(words_[0]);
  const uint32_t n = word & kCountMask;
  store(words_[1 + n], id);
  words_[1 + capacity_ + n] = std::bit_cast<uint32_t>(distance);
  store(words_[0], (word & kKnown) | (n + 1));
}

uint32_t* NodeTable::new_upper(uint32_t layers) {
  const size_t words = 1 + size_t{layers} * (1 + 2 * size_t{capacity_upper_});
  std::lock_guard<std::mutex> guard(upper_mu_);
  if (upper_free_ < words) {
    const size_t chunk = std::max(words, kUpperChunkWords);
    upper_chunks_.push_back(std::make_unique<uint32_t[]>(chunk));  // zeroed: empty lists
    upper_next_ = upper_chunks_.back().get();
    upper_free_ = chunk;
  }
  uint32_t* block = upper_next_;
  upper_next_ += words;
  upper_free_ -= words;
  block[0] = layers;
  return block;
}

void NodeTable::reset(NodeId id, uint32_t lists, uint64_t level) {
  lists = std::min<uint32_t>(lists, kMaxLevel + 1);
  const Place place = at(id);
  Info& node = place.segment->info[place.offset];
  store(place.segment->links0[place.offset * stride0()], 0);
  node.upper.store(lists > 1 ? new_upper(lists - 1) : nullptr, std::memory_order_release);
  const uint32_t level_bits = static_cast<uint32_t>(std::min<uint64_t>(level, 255)) << 8;
  node.meta.store(lists | level_bits | kNodeBit, std::memory_order_release);
}

void NodeTable::lock(NodeId id) const {
  std::atomic<uint32_t>& word = info(id).lock;
  for (int spins = 0;; ++spins) {
    if (word.exchange(1, std::memory_order_acquire) == 0) return;
    while (word.load(std::memory_order_relaxed) != 0) {
      if (++spins < 64) {
        pause();
      } else {
        std::this_thread::yield();
      }
    }
  }
}

void NodeTable::unlock(NodeId id) const { info(id).lock.store(0, std::memory_order_release); }

}  // namespace tamix::hnsw
