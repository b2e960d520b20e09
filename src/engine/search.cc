// Search and batch search: query checks, dispatch to the structure that answers, ids.
#include <string>

#include "engine/tamix.h"
#include "engine/vector_checks.h"
#include "storage/flat_batch_search.h"

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

Result<std::vector<Hit>> Tamix::search(VectorView query, uint64_t k) const {
  if (use_quantization_flag_) {
    return Error::Message("Product Quantization enabled but storage not initialized");
  }
  if (!flat_storage_) return Error::Message("Vector storage not initialized");
  return hits_with_ids(flat_storage_->search(query, k, &live_));
}

Result<std::vector<std::vector<Hit>>> Tamix::search_batch(std::span<const VectorView> queries,
                                                          uint64_t k) const {
  if (use_quantization_flag_) {
    return Error::Message("Quantization enabled but quantized storage not initialized");
  }
  if (!flat_storage_) return Error::Message("Vector storage not initialized");
  std::vector<std::vector<ScoredIndex>> scored =
      flat_search_batch(*flat_storage_, queries, k, &live_);
  // Every hit's metadata must be readable: a batch with an unreadable text fails whole.
  for (const auto& list : scored) {
    for (const ScoredIndex& s : list) {
      TAMIX_TRY(metadata_->get(s.slot));
    }
  }
  std::vector<std::vector<Hit>> out;
  out.reserve(scored.size());
  for (const auto& list : scored) out.push_back(hits_with_ids(list));
  return out;
}

}  // namespace tamix
