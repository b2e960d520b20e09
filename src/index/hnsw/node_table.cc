#include "index/hnsw/node_table.h"

#include <algorithm>
#include <bit>
#include <new>
#include <thread>

#include <sys/mman.h>

#include "index/hnsw/hnsw_level.h"

namespace tamix::hnsw {
namespace {

constexpr size_t kUpperChunkWords = size_t{1} << 16;
constexpr uint32_t kLineWords = 16;
constexpr uint32_t kMostPrefetchLines = 4;
constexpr size_t kHugePage = size_t{2} << 20;

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
      capacity_upper_(std::min(capacity_upper, kMaxLinks)),
      ids0_stride_((capacity0_ + kLineWords - 1) / kLineWords * kLineWords),
      ids0_lines_(std::min(ids0_stride_ / kLineWords, kMostPrefetchLines)) {}

NodeTable::~NodeTable() {
  for (auto& s : segments_) {
    Segment* segment = s.load(std::memory_order_relaxed);
    if (segment != nullptr) ::munmap(segment->mapped, segment->mapped_bytes);
  }
}

// One mapping holds the segment's arrays. Its pages are zero (entries start with no lists)
// and stay unbacked until an entry reaches them, so the growth headroom of the last segment
// costs address space only. Large segments ask for huge pages: a search touches a few lines
// of each of many entries, and with small pages nearly every one missed the TLB.
NodeTable::Segment* NodeTable::new_segment(int index) const {
  const size_t entries = size_t{1} << (index + kFirstBits);
  const size_t head = (sizeof(Segment) + 63) / 64 * 64;
  const size_t ids_bytes = entries * ids0_stride_ * sizeof(uint32_t);
  const size_t rest_bytes = entries * (1 + size_t{capacity0_}) * sizeof(uint32_t);
  const size_t slots_bytes = entries * sizeof(Slot);
  const size_t bytes = head + ids_bytes + rest_bytes + slots_bytes + entries * sizeof(Info);
  const size_t slack = bytes >= kHugePage ? kHugePage : 0;
  void* mapped =
      ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  auto* memory = static_cast<uint8_t*>(mapped);
  if (slack != 0) {
    memory += (kHugePage - reinterpret_cast<uintptr_t>(memory) % kHugePage) % kHugePage;
#ifdef MADV_HUGEPAGE
    ::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  }
  auto* segment = new (memory) Segment;
  segment->mapped = mapped;
  segment->mapped_bytes = bytes + slack;
  segment->ids0 = reinterpret_cast<uint32_t*>(memory + head);
  segment->rest0 = reinterpret_cast<uint32_t*>(memory + head + ids_bytes);
  segment->slots = reinterpret_cast<Slot*>(memory + head + ids_bytes + rest_bytes);
  segment->info = new (memory + head + ids_bytes + rest_bytes + slots_bytes) Info[entries]();
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

// Ids past the new count are cleared after the new ones are written: a reader meanwhile may
// see the old tail, but never an end before the new list's.
void NeighborList::store_ids(std::span<const NodeId> ids, uint32_t old_count) const {
  for (uint32_t i = 0; i < ids.size(); ++i) store(ids_[i], ids[i] + 1);
  for (uint32_t i = static_cast<uint32_t>(ids.size()); i < old_count; ++i) store(ids_[i], 0);
}

void NeighborList::assign(std::span<const NodeId> ids, std::span<const float> distances,
                          uint32_t kept) const {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(ids.size(), capacity_));
  store_ids(ids.first(n), count());
  const bool known = distances.size() == ids.size();
  if (known) {
    for (uint32_t i = 0; i < n; ++i) rest_[1 + i] = std::bit_cast<uint32_t>(distances[i]);
  }
  uint32_t word = n | (known ? kKnown : 0);
  if (known && n == ids.size() && kept <= n) word |= kChosen | kept << kKeptShift;
  rest_[0] = word;
}

void NeighborList::append(NodeId id, float distance) const {
  const uint32_t n = count();
  store(ids_[n], id + 1);
  rest_[1 + n] = std::bit_cast<uint32_t>(distance);
  rest_[0] = (rest_[0] & kKnown) | (n + 1);
}

void NeighborList::clear() const {
  store_ids({}, count());
  rest_[0] = 0;
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
  list(id, 0).clear();
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
