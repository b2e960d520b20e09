// Template members of HnswIndex: searches and insertion. Included by hnsw_index.h only.
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

template <class Source>
std::vector<ScoredIndex> HnswIndex::search_nearest(const Source& source, uint64_t k,
                                                   const LiveSlots* live) const {
  const Top t = top();
  if (k == 0 || t.entry == hnsw::kNoNode) return {};
  hnsw::Scratch& s = hnsw::thread_scratch();
  const uint64_t keep = saturating_double(k);
  const uint64_t ef = std::max(keep, config_.ef_search);
  const hnsw::NodeId ep = hnsw::descend(table_, t.entry, start_layer(t), 0, source, s);
  if (live == nullptr) {
    hnsw::search_layer_ids<false>(table_, ep, ef, 0, source, s);
  } else {
    hnsw::search_layer_ids<true>(table_, ep, ef, 0, source, s, live);
  }
  return to_scored(s.results, keep);
}

template <class Source>
std::vector<ScoredIndex> HnswIndex::search(const Source& source, uint64_t k,
                                           const LiveSlots* live) const {
  std::vector<ScoredIndex> hits = search_nearest(source, k, live);
  for (ScoredIndex& h : hits) h.value = 1.0f - h.value;
  // By score alone, NaN last: equal scores keep the nearest-first order. Nearest first is
  // nearly always that order already, and then the sort and its buffer are skipped.
  const auto by_score = [](const ScoredIndex& a, const ScoredIndex& b) {
    if (std::isnan(a.value) || std::isnan(b.value)) {
      return !std::isnan(a.value) && std::isnan(b.value);
    }
    return a.value > b.value;
  };
  if (!std::is_sorted(hits.begin(), hits.end(), by_score)) {
    std::stable_sort(hits.begin(), hits.end(), by_score);
  }
  if (hits.size() > k) hits.resize(static_cast<size_t>(k));
  return hits;
}

template <class Family>
void HnswIndex::insert(Slot slot, const Family& family) {
  const hnsw::NodeId id = claim(slot);
  if (id != hnsw::kNoNode) insert_node(id, family);
}

// Into a nearly empty graph the first nodes go one at a time. Inserted side by side, the
// first nodes after the entry found nothing but the entry, kept it as their only link, and
// one whose only way in, the entry's link back, was later pruned could never be found again.
template <class Family>
void HnswIndex::insert_many(std::span<const Slot> slots, const Family& family) {
  const uint64_t before = table_.size();
  const std::vector<hnsw::NodeId> ids = claim_all(slots);
  const size_t serial = static_cast<size_t>(
      std::min<uint64_t>(ids.size(), before < limit(0) ? limit(0) - before : 0));
  const auto insert_range = [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
      if (ids[i] != hnsw::kNoNode) insert_node(ids[i], family);
    }
  };
  insert_range(0, serial);
  pool::parallel_for(ids.size() - serial,
                     [&](size_t first, size_t last) { insert_range(serial + first, serial + last); });
}

// The new node's lists are all written before any back-link makes it reachable, so no
// search running beside it meets it half-built. Serially this is the order the layers
// would otherwise take too: a layer's back-links change only that layer's lists.
template <class Family>
void HnswIndex::insert_node(hnsw::NodeId id, const Family& family) {
  std::shared_lock<std::shared_mutex> image(image_mu_);
  const uint64_t level = random_level(config_.ml);
  std::unique_lock<std::mutex> grow(grow_mu_, std::defer_lock);
  Top t = top();
  if (t.entry == hnsw::kNoNode || level > t.max_level) {
    grow.lock();
    t = top();
    if (t.entry != hnsw::kNoNode && level <= t.max_level) grow.unlock();
  }
  table_.lock(id);
  table_.reset(id, static_cast<uint32_t>(level + 1), level);
  table_.unlock(id);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  if (t.entry == hnsw::kNoNode) {
    set_top({id, level});
    return;
  }
  hnsw::Scratch& s = hnsw::thread_scratch();
  const auto source = family.source(table_.slot(id));
  hnsw::NodeId ep = hnsw::descend(table_, t.entry, start_layer(t), level, source, s);
  const uint64_t top_layer = std::min(level, t.max_level);
  for (uint64_t layer = top_layer + 1; layer-- > 0;) {
    hnsw::search_layer_ids<false>(table_, ep, config_.ef_construction, layer, source, s);
    ep = hnsw::node_of(s.results.front());
    choose(id, layer, family, s);
  }
  for (uint64_t layer = top_layer + 1; layer-- > 0;) {
    const hnsw::Scratch::Chosen& chosen = s.chosen[layer];
    for (size_t i = 0; i < chosen.ids.size(); ++i) {
      link_back(chosen.ids[i], id, layer, chosen.distances[i], family, s);
    }
  }
  if (level > t.max_level) set_top({id, level});
}

// Picks the new node's neighbours on a layer from the search results in s.results and
// writes its list. It takes at most m_max on every layer, as layer 0's larger limit is
// there for the links other nodes add later. Where the rule keeps few (data of low
// intrinsic dimension), the nearest candidates it dropped fill the list up to three
// quarters of that: the extra links buy more recall per distance than they cost, and a
// full list cost more in build time than it gave back in recall.
template <class Family>
void HnswIndex::choose(hnsw::NodeId id, uint64_t layer, const Family& family, hnsw::Scratch& s) {
  hnsw::Scratch::Chosen& chosen = s.chosen[layer];
  const uint64_t limit_here = std::min(limit(layer), limit(1));
  chosen.kept = hnsw::select_diverse(
      table_, family, s.results, id, limit_here, [](hnsw::NodeId i) { return i; },
      [](hnsw::NodeId) { return hnsw::Known::kNothing; }, /*fill_to=*/limit_here - limit_here / 4,
      s);
  chosen.ids.clear();
  chosen.distances.clear();
  for (const uint64_t e : s.picked) {
    chosen.ids.push_back(hnsw::node_of(e));
    chosen.distances.push_back(hnsw::distance_of(e));
  }
  table_.lock(id);
  if (const hnsw::NeighborList list = table_.list(id, layer)) {
    list.assign(chosen.ids, chosen.distances, chosen.kept);
  }
  table_.unlock(id);
}

// Adds q to e's list; an over-full list is chosen again from itself and q, by distance from
// e, with the same rule as a new node's neighbours. Distances are symmetric, so q's distance
// from e is the one q's search found, and a list's distances are computed only once, when
// the list came from a file.
template <class Family>
void HnswIndex::link_back(hnsw::NodeId e, hnsw::NodeId q, uint64_t layer, float distance,
                          const Family& family, hnsw::Scratch& s) {
  if (!table_.is_node(e)) return;
  table_.lock(e);
  // e's own lists may end below this layer (a graph read from a file).
  const hnsw::NeighborList list =
      layer < table_.list_count(e) ? table_.list(e, layer) : hnsw::NeighborList();
  if (list) {
    s.edit.resize(table_.capacity(layer));
    const uint32_t n = list.read(s.edit.data());
    s.edit.resize(n);
    if (std::find(s.edit.begin(), s.edit.end(), q) == s.edit.end()) {
      if (n < limit(layer)) {
        list.append(q, distance);
      } else {
        const uint32_t kept = prune(e, list, q, distance, limit(layer), family, s);
        list.assign(s.edit, s.edit_distances, kept);
      }
    }
  }
  table_.unlock(e);
}

// Chooses e's new list from s.edit (its current list) and q at `distance`: the ids into
// s.edit, their distances from e into s.edit_distances. Returns how many were kept.
template <class Family>
uint32_t HnswIndex::prune(hnsw::NodeId e, const hnsw::NeighborList& list, hnsw::NodeId q,
                          float distance, uint64_t limit, const Family& family,
                          hnsw::Scratch& s) const {
  const uint32_t n = static_cast<uint32_t>(s.edit.size());
  s.keys.clear();
  if (list.distances_known()) {
    for (uint32_t i = 0; i < n; ++i) s.keys.push_back(hnsw::pack(list.distance(i), i));
  } else {
    const auto source = family.source(table_.slot(e));
    for (uint32_t i = 0; i < n; ++i)
      s.keys.push_back(hnsw::pack(source(table_.slot(s.edit[i])), i));
  }
  s.keys.push_back(hnsw::pack(distance, n));
  std::sort(s.keys.begin(), s.keys.end());
  const uint32_t was_kept = list.kept();
  const uint32_t kept = hnsw::select_diverse(
      table_, family, s.keys, e, limit, [&](uint32_t i) { return i == n ? q : s.edit[i]; },
      [&](uint32_t i) {
        if (i == n || was_kept == hnsw::NeighborList::kNotChosen) return hnsw::Known::kNothing;
        return i < was_kept ? hnsw::Known::kKept : hnsw::Known::kDropped;
      },
      /*fill_to=*/0, s);
  s.kept.clear();
  s.edit_distances.clear();
  for (const uint64_t k : s.picked) {
    const uint32_t i = hnsw::node_of(k);
    s.kept.push_back(i == n ? q : s.edit[i]);
    s.edit_distances.push_back(hnsw::distance_of(k));
  }
  s.edit.swap(s.kept);
  return kept;
}

}  // namespace tamix
