// IvfIndex: the inverted-file index over the flat store. Training fits nlist centroids; each
// centroid's partition is a small HNSW graph of the slots nearest to it, and a query searches
// the partitions of its nprobe nearest centroids. A partition's graph is made on its first
// member; until then it reads as an empty graph with the partitions' configuration. An index
// written by save can be loaded again.
//
// Thread-safety: const members may run together from many threads. train, build_partitions,
// place_new, save and save_partitions need the index alone; the engine holds itself
// exclusively for them. The flat store must not change while any member runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_centroids.h"
#include "index/ivf/ivf_config.h"
#include "index/ivf/ivf_files.h"
#include "index/ivf/ivf_ranking.h"
#include "storage/flat_storage.h"

namespace tamix {

class IvfIndex {
 public:
  // Untrained, with config.nlist empty partitions. Allocates nothing per partition, so any
  // nlist is cheap here; train and save refuse one above kMaxIvfLists.
  explicit IvfIndex(const IvfConfig& config);

  // Whether save wrote an index into ivf_dir: its "config.json" is there.
  static bool saved(const std::string& ivf_dir);
  // Reads the files save wrote into ivf_dir. They must agree with each other (one training,
  // one configuration, nlist partition files) and with the store (dimension); members at or
  // above slot_limit are dropped, and slots below it that no partition holds are placed by
  // the next place_new. The loaded index counts its files as written.
  static Result<std::unique_ptr<IvfIndex>> load(const std::string& ivf_dir, uint64_t dimension,
                                                uint64_t slot_limit);
  // The same, given the configuration parsed from the "config.json" text.
  static Result<std::unique_ptr<IvfIndex>> load(const std::string& ivf_dir,
                                                const IvfConfig& config,
                                                std::string_view config_json, uint64_t dimension,
                                                uint64_t slot_limit);

  IvfIndex(const IvfIndex&) = delete;
  IvfIndex& operator=(const IvfIndex&) = delete;

  const IvfConfig& config() const { return config_; }
  const IvfCentroids& centroids() const { return centroids_; }
  bool trained() const { return !centroids_.empty(); }
  // Slots below this have been offered to the partitions: the ones place_new skips.
  uint64_t placed() const { return placed_; }
  // Which training the partitions come from: 0 before the first, else a random number.
  uint64_t training() const { return training_; }
  // Partition i < nlist.
  const HnswIndex& partition(uint64_t i) const;
  // Its slots, in the order they were placed.
  std::span<const Slot> members(uint64_t i) const;

  // Fits new centroids to the store's first vectors and repopulates every partition from
  // them, printing the progress (index/ivf/ivf_training.h). Without a store nothing changes.
  Status train(FlatStorage* store);
  // Empties every partition, then places the readable slots 0 to n - 1, each into the
  // partition of its nearest centroid. Places nothing while untrained.
  void build_partitions(const FlatStorage& store, uint64_t n);
  // Places the slots from placed() up to count that have become readable since (vectors
  // added after training), without retraining.
  void place_new(const FlatStorage& store, uint64_t count);

  // The k nearest live slots (all slots when live is null) among the nprobe partitions
  // nearest to the query, best score (1 - halved cosine) first, no slot twice. Untrained:
  // the store's own exact search. Fails without a store.
  Result<std::vector<ScoredIndex>> search(VectorView query, uint64_t k, const FlatStorage* store,
                                          const LiveSlots* live = nullptr) const;
  // Per probe, in probe order: the nearest 2k live slots of that partition, ascending by
  // distance. Probes run on the worker pool.
  std::vector<std::vector<ScoredIndex>> search_partitions(std::span<const uint64_t> probes,
                                                          VectorView query, uint64_t k,
                                                          const FlatStorage& store,
                                                          const LiveSlots* live) const;

  // Writes the IVF files into ivf_dir (created with "partitions" inside when missing):
  // "config.json", "centroids.bin", then the partition files. Only files whose content
  // changed since this index last wrote them are written; nothing while the files are held.
  Status save(const std::string& ivf_dir);
  // Leaves the files in the directory as they are until the next training: they belong to
  // an index that failed to load, which this one must not overwrite.
  void hold_files() { files_held_ = true; }
  // Writes "part_{i}.graph" for every changed partition i into the existing directory, each
  // atomically, and removes the partition files beyond nlist that an earlier index left.
  Status save_partitions(const std::string& dir);

 private:
  struct Partition {
    std::unique_ptr<HnswIndex> graph;  // null while empty
    std::vector<Slot> members;
    uint64_t serial = 0;  // which graph of this index it is; 0 while null
  };
  // What a partition file last received from this index: a graph and its generation.
  struct Written {
    uint64_t training;
    uint64_t serial;
    uint64_t generation;
    bool operator==(const Written&) const = default;
  };

  void place(const FlatStorage& store, std::span<const Slot> slots);
  Written state(uint64_t i) const;
  // Every slot of the probed partitions that is live, nearest k by the query's distance:
  // the answer when the graphs gave fewer than k.
  std::vector<ScoredIndex> scan_members(std::span<const uint64_t> probes, VectorView query,
                                        uint64_t k, const FlatStorage& store,
                                        const LiveSlots* live) const;

  IvfConfig config_;
  IvfCentroids centroids_;
  CentroidRanking ranking_;            // of centroids_
  HnswIndex empty_;                    // what a partition without a graph reads as
  std::vector<Partition> partitions_;  // nlist once anything was placed, else none
  uint64_t placed_ = 0;
  std::vector<Slot> unplaced_;  // below placed_, in no partition: a loaded index's gaps
  uint64_t training_ = 0;
  bool files_held_ = false;
  uint64_t next_serial_ = 1;

  IvfFilesWritten files_written_;
  std::vector<Written> partitions_written_;  // per partition, once a directory was written
  std::optional<std::pair<uint64_t, uint64_t>> partitions_dir_;  // its device and inode
};

}  // namespace tamix
