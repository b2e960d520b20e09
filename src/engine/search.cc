// Search and batch search: query checks, the implicit persist, then the structure that
// answers, and the ids.
#include <functional>
#include <optional>
#include <string>

#include "core/pool.h"
#include "engine/hit_texts.h"
#include "engine/tamix.h"
#include "engine/vector_checks.h"
#include "index/ivf/ivf_index.h"

namespace tamix {

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

namespace {

// Runs work through `unlocked` when given.
void run(const Unlocked& unlocked, const std::function<void()>& work) {
  unlocked ? unlocked(work) : work();
}

// The error of a failed step, recorded for the caller.
Error failed_at(SearchStep step, Error error, SearchStep* failed_step) {
  if (failed_step) *failed_step = step;
  return error;
}

}  // namespace

Result<std::vector<Hit>> Tamix::search(VectorView query, uint64_t k, const Unlocked& unlocked,
                                       SearchStep* failed_step) {
  if (Status checked = check_query(query); !checked.ok()) {
    return failed_at(SearchStep::kCheck, std::move(checked).error(), failed_step);
  }
  if (Status persisted = persist(unlocked); !persisted.ok()) {
    return failed_at(SearchStep::kPersist, std::move(persisted).error(), failed_step);
  }
  std::optional<Result<std::vector<Hit>>> hits;
  run(unlocked, [&] { hits.emplace(answer(query, k)); });
  if (!hits->ok()) return failed_at(SearchStep::kSearch, std::move(*hits).error(), failed_step);
  return std::move(*hits);
}

Result<std::vector<std::vector<Hit>>> Tamix::search_batch(std::span<const VectorView> queries,
                                                          uint64_t k, const Unlocked& unlocked,
                                                          SearchStep* failed_step) {
  if (Status checked = check_queries(queries); !checked.ok()) {
    return failed_at(SearchStep::kCheck, std::move(checked).error(), failed_step);
  }
  if (Status persisted = persist(unlocked); !persisted.ok()) {
    return failed_at(SearchStep::kPersist, std::move(persisted).error(), failed_step);
  }
  std::optional<Result<std::vector<std::vector<Hit>>>> lists;
  run(unlocked, [&] { lists.emplace(answer_batch(queries, k)); });
  if (!lists->ok()) return failed_at(SearchStep::kSearch, std::move(*lists).error(), failed_step);
  return std::move(*lists);
}

Result<std::vector<Hit>> Tamix::answer(VectorView query, uint64_t k) const {
  if (hnsw_index_) {
    TAMIX_ASSIGN_OR_RETURN(const std::vector<ScoredIndex> scored, graph_search(query, k));
    return hits_with_ids(scored);
  }
  if (ivf_answers()) {
    TAMIX_ASSIGN_OR_RETURN(const std::vector<ScoredIndex> scored,
                           ivf_index_->search(query, k, store_.flat(), graph_filter()));
    return hits_with_ids(scored);
  }
  TAMIX_TRY(check_store(StoreUse::kSearch));
  TAMIX_ASSIGN_OR_RETURN(const std::vector<ScoredIndex> scored, store_.search(query, k, &live_));
  return hits_with_ids(scored);
}

Result<std::vector<std::vector<Hit>>> Tamix::answer_batch(std::span<const VectorView> queries,
                                                          uint64_t k) const {
  TAMIX_TRY(check_store(StoreUse::kBatch));
  TAMIX_ASSIGN_OR_RETURN(const std::vector<std::vector<ScoredIndex>> scored,
                         store_.search_batch(queries, k, &live_));
  // A batch with an unreadable text fails whole.
  TAMIX_TRY(check_hit_texts(scored, [&](Slot slot) -> Status {
    TAMIX_TRY(metadata_->get(slot));
    return Ok();
  }));
  return pool::map<std::vector<Hit>>(scored.size(),
                                     [&](size_t q) { return hits_with_ids(scored[q]); });
}

}  // namespace tamix
