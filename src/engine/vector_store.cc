// Every question about the store in use is answered here, one visit each.
#include "engine/vector_store.h"

#include <cmath>
#include <cstdio>

#include "core/pool.h"
#include "storage/flat_batch_search.h"

namespace tamix {
namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

}  // namespace

Result<VectorStore> VectorStore::open(uint64_t number, const std::string& dir,
                                      uint64_t dimension, uint64_t limit) {
  if (number == kSq8) return of(Sq8Storage::open(dir, dimension, limit));
  if (number == kPq) return of(PqStorage::open(dir, dimension, limit));
  return of(FlatStorage::open(dir, dimension, limit));
}

Result<uint64_t> VectorStore::stored_count(uint64_t number, const std::string& dir,
                                          uint64_t dimension) {
  if (number == kSq8) return Sq8Storage::stored_count(dir, dimension);
  if (number == kPq) return PqStorage::stored_count(dir, dimension);
  return FlatStorage::stored_count(dir, dimension);
}

const char* VectorStore::file_name(uint64_t number) {
  if (number == kSq8) return Sq8Storage::kFileName;
  return number == kPq ? PqStorage::kFileName : FlatStorage::kFileName;
}

VectorStore::operator bool() const {
  return std::visit([](const auto& s) { return s != nullptr; }, store_);
}

FlatStorage* VectorStore::flat() const {
  const auto* flat = std::get_if<std::unique_ptr<FlatStorage>>(&store_);
  return flat ? flat->get() : nullptr;
}

uint64_t VectorStore::count() const {
  return std::visit([](const auto& s) { return s ? s->count() : 0; }, store_);
}

Result<std::vector<Slot>> VectorStore::add(std::span<const VectorView> vectors) {
  return std::visit([&](const auto& s) { return s->add(vectors); }, store_);
}

void VectorStore::forget_from(Slot n) {
  std::visit([n](const auto& s) { s->forget_from(n); }, store_);
}

Status VectorStore::prepare_flush() {
  return std::visit([](const auto& s) { return s->prepare_flush(); }, store_);
}

Status VectorStore::flush() {
  return std::visit([](const auto& s) { return s->flush(); }, store_);
}

bool VectorStore::scorable(Slot slot) const {
  // PQ codes name centroids, so every record scores.
  return std::visit(Overload{[](const std::unique_ptr<PqStorage>&) { return true; },
                             [slot](const auto& s) { return !std::isnan(s->norm(slot)); }},
                    store_);
}

Result<std::vector<ScoredIndex>> VectorStore::search(VectorView query, uint64_t k,
                                                     const LiveSlots* live) const {
  return std::visit(
      [&](const auto& s) -> Result<std::vector<ScoredIndex>> { return s->search(query, k, live); },
      store_);
}

Result<std::vector<std::vector<ScoredIndex>>> VectorStore::search_batch(
    std::span<const VectorView> queries, uint64_t k, const LiveSlots* live) const {
  using Lists = Result<std::vector<std::vector<ScoredIndex>>>;
  return std::visit(
      Overload{
          [&](const std::unique_ptr<FlatStorage>& flat) -> Lists {
            return flat_search_batch(*flat, queries, k, live);
          },
          [&](const std::unique_ptr<PqStorage>& pq) -> Lists {
            return pool::map<std::vector<ScoredIndex>>(
                queries.size(), [&](size_t q) { return pq->search(queries[q], k, live); });
          },
          // The SQ8 store answers one query after another; each scan is parallel already.
          [&](const std::unique_ptr<Sq8Storage>& sq8) -> Lists {
            std::vector<std::vector<ScoredIndex>> out;
            out.reserve(queries.size());
            for (VectorView query : queries) {
              TAMIX_ASSIGN_OR_RETURN(std::vector<ScoredIndex> hits, sq8->search(query, k, live));
              out.push_back(std::move(hits));
            }
            return out;
          }},
      store_);
}

std::string VectorStore::stats() const {
  const auto* pq = std::get_if<std::unique_ptr<PqStorage>>(&store_);
  if (!pq || !*pq) return "vectors=" + std::to_string(count());
  const PqStorage& store = **pq;
  const uint64_t total = store.count() * store.code_size();
  const float ratio = static_cast<float>(total * store.quantizer().d_sub() * 4) /
                      static_cast<float>(std::max<uint64_t>(total, 1));
  char compression[64];
  std::snprintf(compression, sizeof compression, "%.1f", ratio);
  return "vectors=" + std::to_string(store.count()) + ", memory=" + std::to_string(total >> 20) +
         "MB, compression=" + compression + "x";
}

void VectorStore::abandon() {
  std::visit([](auto& s) { (void)s.release(); }, store_);
}

}  // namespace tamix
