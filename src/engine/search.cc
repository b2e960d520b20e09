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
  for (const ScoredIndex& s : scored) slot_to_id_.prefetch(s.slot);
  for (const ScoredIndex& s : scored) {
    if (const std::string* id = slot_to_id_.find(s.slot)) hits.push_back({*id, s.value});
  }
  return hits;
}

namespace {

// The error of a failed step, recorded for the caller.
Error failed_at(SearchStep step, Error error, SearchStep* failed_step) {
  if (failed_step) *failed_step = step;
  return error;
}

// The steps of a whole search in order: the checks' outcome, persist, then the answer, the
// last two through `unlocked` when given. The first failure ends it and names its step.
template <class Answer>
auto run_steps(Tamix& db, Status checked, const Unlocked& unlocked, SearchStep* failed_step,
               const Answer& answer) -> decltype(answer()) {
  if (!checked.ok()) return failed_at(SearchStep::kCheck, std::move(checked).error(), failed_step);
  if (Status persisted = db.persist(unlocked); !persisted.ok()) {
    return failed_at(SearchStep::kPersist, std::move(persisted).error(), failed_step);
  }
  std::optional<decltype(answer())> out;
  const std::function<void()> work = [&] { out.emplace(answer()); };
  unlocked ? unlocked(work) : work();
  if (!out->ok()) return failed_at(SearchStep::kSearch, std::move(*out).error(), failed_step);
  return std::move(*out);
}

}  // namespace

Result<std::vector<Hit>> Tamix::search(VectorView query, uint64_t k, const Unlocked& unlocked,
                                       SearchStep* failed_step) {
  return run_steps(*this, check_query(query), unlocked, failed_step,
                   [&] { return answer(query, k); });
}

Result<std::vector<std::vector<BatchHit>>> Tamix::search_batch(
    std::span<const VectorView> queries, uint64_t k, const Unlocked& unlocked,
    SearchStep* failed_step) {
  return run_steps(*this, check_queries(queries), unlocked, failed_step,
                   [&] { return answer_batch(queries, k); });
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

Result<std::vector<std::vector<BatchHit>>> Tamix::answer_batch(
    std::span<const VectorView> queries, uint64_t k) const {
  TAMIX_TRY(check_store(StoreUse::kBatch));
  TAMIX_ASSIGN_OR_RETURN(const std::vector<std::vector<ScoredIndex>> scored,
                         store_.search_batch(queries, k, &live_));
  // A batch with an unreadable text fails whole.
  TAMIX_TRY(check_hit_texts(scored, [&](std::span<const Slot> slots, const auto& failed) {
    metadata_->read_texts(slots, failed);
  }));
  return pool::map<std::vector<BatchHit>>(scored.size(), [&](size_t q) {
    std::vector<BatchHit> hits;
    hits.reserve(scored[q].size());
    for (const ScoredIndex& s : scored[q]) {
      if (const std::string* id = slot_to_id_.find(s.slot)) hits.push_back({s.slot, id, s.value});
    }
    return hits;
  });
}

}  // namespace tamix
