// Template members of HnswIndex. Included by hnsw_index.h only.
#pragma once

namespace tamix {

template <class Source>
std::vector<ScoredIndex> HnswIndex::search_layer(Slot entry, uint64_t ef, uint64_t layer,
                                                 const Source& source) const {
  const std::optional<hnsw::NodeId> id = find(entry);
  if (!id) return {{entry, source(entry)}};
  hnsw::Scratch& s = hnsw::thread_scratch();
  hnsw::search_layer_ids<false>(table_, *id, ef, layer, source, s);
  return to_scored(s.results, s.results.size());
}

}  // namespace tamix
