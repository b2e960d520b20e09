// Tamix: one open database directory with its stores, indexes, modes and id maps.
// Not thread-safe: the Python binding guards each engine with its borrow flag. Errors of
// kind kInvalidInput are the caller's fault (ValueError); every other error is an engine
// failure (RuntimeError with the operation's prefix).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "engine/modes.h"
#include "index/hnsw_index.h"
#include "index/ivf_index.h"
#include "metadata/metadata_store.h"
#include "storage/flat_storage.h"
#include "storage/pq_storage.h"
#include "storage/sq8_storage.h"

namespace tamix {

struct Hit {
  std::string id;
  float score;
};

// One of the engine's vector stores; every store offers the same operations.
using StoreRef = std::variant<FlatStorage*, Sq8Storage*, PqStorage*>;

// What a store is asked for; each use reports its own error when the store is missing.
enum class StoreUse { kAdd, kSearch, kBatch };

// Runs long work; the binding passes one that releases the interpreter lock around it.
using Unlocked = std::function<void(const std::function<void()>& work)>;

class Tamix {
 public:
  // The main constructor: validates dimension and mode word, creates the directory, opens
  // "vectors.bin" and "metadata.db", restores the stored ids, applies the mode word.
  static Result<std::unique_ptr<Tamix>> open(std::string path, uint64_t dimension,
                                             std::string mode);

  // The specialised constructors of the quantized stores: check the training vectors, take
  // the directory's lock, then create the store (training its quantizer unless the store
  // already holds codes, whose stored quantizer is kept) and restore the stored ids.
  static Result<std::unique_ptr<Tamix>> new_scalar_quantized(std::string path, uint64_t dimension,
                                                             std::span<const VectorView> training);
  static Result<std::unique_ptr<Tamix>> new_product_quantized(std::string path, uint64_t dimension,
                                                              std::span<const VectorView> training);

  // The HNSW constructor: the flat store with a new, empty graph (m at least 2). Vectors the
  // directory already holds get their ids back and go into the graph at the next persist.
  static Result<std::unique_ptr<Tamix>> new_hnsw(std::string path, uint64_t dimension, uint64_t m,
                                                 uint64_t ef_construction, uint64_t ef_search);

  // Drop: flushes every store and the pending metadata, errors ignored. In a process other
  // than the one that opened it (a fork's child), it writes and closes nothing: the files,
  // the lock and the SQLite connection are the parent's, so everything is left as it is.
  ~Tamix();

  Tamix(const Tamix&) = delete;
  Tamix& operator=(const Tamix&) = delete;

  // Checks the batch, normalises the metadata, appends the vectors and records the ids.
  // Returns the number of vectors added.
  Result<size_t> add(std::span<const std::string> ids, std::span<const VectorView> embeddings,
                     std::span<const std::string> metadatas);

  // Refusals of queries before anything runs (ValueError texts).
  Status check_query(VectorView query) const;
  Status check_queries(std::span<const VectorView> queries) const;

  // Brings everything to the directory in its fixed order; the first failure ends it. The
  // commit point is the step that counts: the vectors are synced before it, what it covers
  // is what a reopen finds after a crash at any instant, and only the index files are
  // written after it.
  Status persist(const Unlocked& unlocked = nullptr);

  // The search proper (after check_query and persist), needing no interpreter lock.
  Result<std::vector<Hit>> search(VectorView query, uint64_t k) const;
  Result<std::vector<std::vector<Hit>>> search_batch(std::span<const VectorView> queries,
                                                     uint64_t k) const;

  // The id's metadata text (none when the slot has none); unknown id is kInvalidInput.
  Result<std::optional<std::string>> get(std::string_view id) const;
  uint64_t count() const;
  size_t delete_ids(std::span<const std::string> ids);
  std::vector<std::string> get_all_ids() const;
  // The text of info() and __repr__.
  std::string info() const;

  // Switches the mode: Auto analyses the vector count; Ivf makes sure an IVF index exists.
  void set_mode(IndexMode mode);

  // The mode methods of the binding. set_mode_word takes a mode word ("flat", "hnsw",
  // "sq8"/"scalar", "ivf", "auto", any case) and keeps it as the mode name; any other word
  // is refused and changes nothing. configure_ivf sets the IVF parameters (the index is
  // replaced by an untrained one in mode Ivf); train_ivf trains the index the engine has.
  Status set_mode_word(std::string word);
  Status configure_ivf(uint64_t nlist, uint64_t nprobe);
  Status train_ivf();

  // What drop flushes, for a database still open when the process ends.
  void flush_on_exit();

  // False in a forked child: nothing may be called there but the drop.
  bool opened_in_this_process() const;
  const std::string& path() const { return path_; }

  uint64_t dimension() const { return dimension_; }
  IndexMode mode() const { return mode_; }
  IndexKind storage_kind() const { return storage_kind_; }
  QuantizationType quantization_kind() const { return quantization_kind_; }
  bool use_quantization() const { return use_quantization_flag_; }
  const std::string& mode_name() const { return mode_name_; }

 private:
  friend class TamixTestPeer;
  Tamix() = default;

  // The one rule for which store holds the vectors: the SQ8 store, else the
  // product-quantized store, else the flat store; none without a store.
  std::optional<StoreRef> vector_store() const;
  bool has_quantized_store() const { return sq8_storage_ || pq_storage_; }
  // The store an add or a store search goes to, or the error that use reports.
  Result<StoreRef> store_for(StoreUse use) const;
  // The commit point's numbering of the stores, and its file names.
  static constexpr uint64_t kFlatStore = 0, kSq8Store = 1, kPqStore = 2;
  static const char* store_file(uint64_t kind);
  // The commit point's number for the store that holds the vectors.
  uint64_t vector_store_kind() const;
  // Opens the store of that number with its stored contents (the main constructor).
  Status open_committed_store(uint64_t kind);
  uint64_t vector_count() const;
  // step(store) for the flat, product-quantized and SQ8 stores present, in that order; the
  // first error ends it.
  template <class Step>
  Status in_flush_order(Step step);
  // Flushes the stores in that order, or runs their prepare_flush.
  Status flush_stores();
  Status prepare_flush_stores();
  // The commit point after a successful flush_stores; what release and exit run too.
  void commit_on_release();
  // Cuts the stores and metadata.db back to what the last commit point covers.
  Status settle_to_commit_point();
  Status restore_ids();
  Result<std::vector<Slot>> append_with_metadata(StoreRef store,
                                                 std::span<const VectorView> embeddings,
                                                 std::span<const std::string> ids,
                                                 std::span<const std::string> texts);
  Result<std::vector<std::vector<ScoredIndex>>> store_search_batch(
      StoreRef store, std::span<const VectorView> queries, uint64_t k) const;
  // Hits whose slot has an id, in the given order.
  std::vector<Hit> hits_with_ids(const std::vector<ScoredIndex>& scored) const;
  void record_ids(std::span<const std::string> ids, std::span<const Slot> slots);
  // Whether a stored vector can be scored; a damaged file can hold one that cannot.
  bool scorable(Slot slot) const;
  // Takes the slots with an id that the vector store cannot score out of live_: after the
  // ids are restored, and after the vectors moved to another store.
  void drop_unscorable();
  // Opens the directory's lock and the store that `open_store` makes, then settles to the
  // commit point and restores the ids. Refuses a directory whose committed vectors live in
  // another store than the one opened. A new metadata.db gets the point {0, new_store}
  // unless a vector file already holds records.
  using OpenStore = std::function<Status(Tamix& db, const std::optional<CommitPoint>& point)>;
  static Result<std::unique_ptr<Tamix>> assemble(std::string path, uint64_t dimension,
                                                 uint64_t new_store, const OpenStore& open_store);
  std::optional<CommitPoint> first_point(uint64_t new_store) const;

  // The adaptive check of persist in mode Auto, and the conversions it may start.
  // remove_migration_staging drops what a failed or killed conversion staged.
  static void remove_migration_staging(const std::string& dir);
  void check_and_migrate();
  Status migrate_to_sq8();
  Status migrate_to_hnsw();

  // The graph: loaded from "hnsw.graph" at open, given every readable slot it lacks before
  // a search (on the pool, through `unlocked`), written only when it changed.
  void load_graph(uint64_t committed);
  void catch_up_graph();
  Status save_graph();
  Result<std::vector<ScoredIndex>> graph_search(VectorView query, uint64_t k) const;

  // The IVF index answers once trained, over the flat store; otherwise the store does.
  bool ivf_answers() const;
  // Loads the IVF index of the files under "ivf", else makes the default, untrained one.
  void load_or_create_ivf();
  // Places the slots added since the last training or placement, then writes the IVF files
  // that changed.
  void place_new_in_ivf();
  Status save_ivf();

  std::unique_ptr<FlatStorage> flat_storage_;
  std::unique_ptr<PqStorage> pq_storage_;
  std::unique_ptr<Sq8Storage> sq8_storage_;
  std::string path_;
  uint64_t pq_m_ = 192;
  uint64_t pq_k_ = 256;
  uint64_t pq_dsub_ = 8;
  QuantizationType quantization_kind_ = QuantizationType::None;
  bool use_quantization_flag_ = false;
  std::unique_ptr<MetadataStore> metadata_;
  std::optional<HnswConfig> hnsw_config_;
  std::unique_ptr<HnswIndex> hnsw_index_;
  std::optional<uint64_t> graph_written_;  // the graph's generation in "hnsw.graph"
  uint64_t graph_covered_ = 0;             // every readable slot below it is a node
  std::unique_ptr<IvfIndex> ivf_index_;
  std::optional<IvfConfig> ivf_config_;
  IndexMode mode_ = IndexMode::Flat;
  IndexKind storage_kind_ = IndexKind::Flat;
  std::string mode_name_;
  std::unordered_map<std::string, Slot> id_to_slot_;
  std::unordered_map<Slot, std::string> slot_to_id_;
  // Earlier slots of ids that a batch held more than once; delete removes them too.
  std::unordered_map<std::string, std::vector<Slot>> shadowed_slots_;
  // Slots with an id whose vector can be scored: the only ones a search may answer.
  LiveSlots live_;
  // live_ for the graph searches, or null when it holds every slot of the vector store:
  // the filter then changes nothing and only costs.
  const LiveSlots* graph_filter() const {
    return live_.count() >= vector_count() ? nullptr : &live_;
  }
  // Set once open has cut back to the commit point; only then may release commit.
  bool settled_ = false;
  // The vectors the open found committed: what files written before it may describe.
  uint64_t opened_count_ = 0;
  uint64_t dimension_ = 0;
  pid_t opener_ = ::getpid();
};

}  // namespace tamix
