// Search and batch search: query checks, dispatch to the structure that answers, ids.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "core/pool.h"
#include "engine/tamix.h"
#include "engine/vector_checks.h"
#include "storage/flat_batch_search.h"

namespace tamix {
namespace {

// Every hit's text must be readable. Queries of a batch share many hits, so each slot is read
// once, in slot order; a failure reports the first failing hit in query and hit order.
Status read_hit_texts(const MetadataStore& metadata,
                      const std::vector<std::vector<ScoredIndex>>& scored) {
  Slot end = 0;
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) end = std::max(end, s.slot + 1);
  }
  std::vector<bool> hit(static_cast<size_t>(end));
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) hit[static_cast<size_t>(s.slot)] = true;
  }
  std::unordered_map<Slot, Error> failed;
  for (Slot slot = 0; slot < end; ++slot) {
    if (!hit[static_cast<size_t>(slot)]) continue;
    auto text = metadata.get(slot);
    if (!text.ok()) failed.emplace(slot, std::move(text).error());
  }
  if (failed.empty()) return Ok();
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) {
      if (auto it = failed.find(s.slot); it != failed.end()) return std::move(it->second);
    }
  }
  return Ok();
}

}  // namespace

Status Tamix::check_query(VectorView query) const {
  if (query.size() != dimension_) {
    return Error::InvalidInput("Query dimension " + std::to_string(query.size()) +
                               " doesn't match database dimension " + std::to_string(dimension_));
  }
  return check_vectors({&query, 1}, [](size_t) { return std::string("Query"); });
}

Status Tamix::check_queries(std::span<const VectorView> queries) const {
  for (size_t i = 0; i < queries.size(); ++i) {
    if (queries[i].size() != dimension_) {
      return Error::InvalidInput("Query " + std::to_string(i) + " dimension " +
                                 std::to_string(queries[i].size()) +
                                 " doesn't match database dimension " + std::to_string(dimension_));
    }
  }
  return check_vectors(queries, [](size_t i) { return "Query " + std::to_string(i); });
}

std::vector<Hit> Tamix::hits_with_ids(const std::vector<ScoredIndex>& scored) const {
  std::vector<Hit> hits;
  hits.reserve(scored.size());
  for (const ScoredIndex& s : scored) {
    auto it = slot_to_id_.find(s.slot);
    if (it != slot_to_id_.end()) hits.push_back({it->second, s.value});
  }
  return hits;
}

Result<std::vector<Hit>> Tamix::search(VectorView query, uint64_t k) const {
  if (hnsw_index_) {
    TAMIX_ASSIGN_OR_RETURN(const std::vector<ScoredIndex> scored, graph_search(query, k));
    return hits_with_ids(scored);
  }
  if (ivf_answers()) {
    TAMIX_ASSIGN_OR_RETURN(const std::vector<ScoredIndex> scored,
                           ivf_index_->search(query, k, flat_storage_.get(), graph_filter()));
    return hits_with_ids(scored);
  }
  TAMIX_ASSIGN_OR_RETURN(const StoreRef store, store_for(StoreUse::kSearch));
  TAMIX_ASSIGN_OR_RETURN(
      const std::vector<ScoredIndex> scored,
      std::visit(
          [&](auto* s) -> Result<std::vector<ScoredIndex>> { return s->search(query, k, &live_); },
          store));
  return hits_with_ids(scored);
}

Result<std::vector<std::vector<ScoredIndex>>> Tamix::store_search_batch(
    StoreRef store, std::span<const VectorView> queries, uint64_t k) const {
  if (auto* flat = std::get_if<FlatStorage*>(&store)) {
    return flat_search_batch(**flat, queries, k, &live_);
  }
  if (auto* pq = std::get_if<PqStorage*>(&store)) {
    return pool::map<std::vector<ScoredIndex>>(
        queries.size(), [&](size_t q) { return (*pq)->search(queries[q], k, &live_); });
  }
  // The SQ8 store answers one query after another; each scan is parallel already.
  std::vector<std::vector<ScoredIndex>> out;
  out.reserve(queries.size());
  for (VectorView query : queries) {
    TAMIX_ASSIGN_OR_RETURN(std::vector<ScoredIndex> hits,
                           std::get<Sq8Storage*>(store)->search(query, k, &live_));
    out.push_back(std::move(hits));
  }
  return out;
}

Result<std::vector<std::vector<Hit>>> Tamix::search_batch(std::span<const VectorView> queries,
                                                          uint64_t k) const {
  TAMIX_ASSIGN_OR_RETURN(const StoreRef store, store_for(StoreUse::kBatch));
  TAMIX_ASSIGN_OR_RETURN(const std::vector<std::vector<ScoredIndex>> scored,
                         store_search_batch(store, queries, k));
  // A batch with an unreadable text fails whole.
  TAMIX_TRY(read_hit_texts(*metadata_, scored));
  return pool::map<std::vector<Hit>>(scored.size(),
                                     [&](size_t q) { return hits_with_ids(scored[q]); });
}

}  // namespace tamix
