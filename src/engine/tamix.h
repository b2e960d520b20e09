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
#include <vector>

#include "core/live_slots.h"
#include "core/result.h"
#include "core/types.h"
#include "engine/modes.h"
#include "engine/slot_ids.h"
#include "engine/vector_store.h"
#include "metadata/metadata_store.h"

namespace tamix {

class HnswIndex;
class IvfIndex;
struct ModeWord;

struct Hit {
  std::string id;
  float score;
};

// A batch returns many hits sharing few ids: each points at the engine's own id, valid until
// the engine next changes.
struct BatchHit {
  Slot slot;
  const std::string* id;
  float score;
};

// What a store is asked for; each use reports its own error when the store is missing.
enum class StoreUse { kAdd, kSearch, kBatch };

// The step at which a search failed: the binding's error texts name the implicit persist.
enum class SearchStep { kCheck, kPersist, kSearch };

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

  // The destructor syncs the store and commits a new commit point with every pending change,
  // as persist does; when the store cannot be synced, only the rows of new slots are
  // written and the point stays (errors ignored). After a refused open it writes nothing.
  // In a process other than the one that opened it (a fork's child), it writes and closes
  // nothing: the files, the lock and the SQLite connection are the parent's.
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

  // A search whole: the query checks, then persist (the adaptive check, the graph and IVF
  // catching up), then the search proper, which like the catch-up runs through `unlocked`.
  // A failure sets *failed_step (when given) to the step that failed.
  Result<std::vector<Hit>> search(VectorView query, uint64_t k, const Unlocked& unlocked = nullptr,
                                  SearchStep* failed_step = nullptr);
  Result<std::vector<std::vector<BatchHit>>> search_batch(std::span<const VectorView> queries,
                                                          uint64_t k,
                                                          const Unlocked& unlocked = nullptr,
                                                          SearchStep* failed_step = nullptr);

  // The id's metadata text (none when the slot has none); unknown id is kInvalidInput.
  Result<std::optional<std::string>> get(std::string_view id) const;
  uint64_t count() const;
  size_t delete_ids(std::span<const std::string> ids);
  std::vector<std::string> get_all_ids() const;
  // The text of info() and __repr__.
  std::string info() const;

  // Switches the mode: Auto analyses the vector count; Ivf makes sure an IVF index exists.
  void set_mode(IndexMode mode);

  // The mode methods of the binding. set_mode_word takes a mode word that set_mode accepts
  // (see modes.cc; any case) and keeps it as the mode name; any other word is refused and
  // changes nothing. configure_ivf sets the IVF parameters (the index is replaced by an
  // untrained one in mode Ivf); train_ivf trains the index the engine has.
  Status set_mode_word(std::string word);
  Status configure_ivf(uint64_t nlist, uint64_t nprobe);
  Status train_ivf();

  // What the destructor flushes, for a database still open when the process ends.
  void flush_on_exit();

  // False in a forked child: nothing may be called there but the destructor.
  bool opened_in_this_process() const;
  const std::string& path() const { return path_; }

 private:
  friend Status migrate_to_hnsw_for_testing(Tamix& db);  // engine/testing_seam.h
  Tamix();

  // The error a use of the store reports: the mode asks for a quantized store it lacks.
  Status check_store(StoreUse use) const;
  uint64_t vector_count() const { return store_.count(); }
  // The commit point after a successful flush; what release and exit run too.
  void commit_on_release();
  // Cuts metadata.db back to the records the store opened: those the commit point covers.
  Status settle_to_commit_point();
  Status restore_ids();
  Result<std::vector<Slot>> append_with_metadata(std::span<const VectorView> embeddings,
                                                 std::span<const std::string> ids,
                                                 std::span<const std::string> texts);
  // The search proper, after the checks and persist; needs no interpreter lock.
  Result<std::vector<Hit>> answer(VectorView query, uint64_t k) const;
  Result<std::vector<std::vector<BatchHit>>> answer_batch(std::span<const VectorView> queries,
                                                          uint64_t k) const;
  // Hits whose slot has an id, in the given order.
  std::vector<Hit> hits_with_ids(const std::vector<ScoredIndex>& scored) const;
  void record_ids(std::span<const std::string> ids, std::span<const Slot> slots);
  // Takes the slots with an id that the vector store cannot score out of live_: after the
  // ids are restored, and after the vectors moved to another store.
  void drop_unscorable();
  // Applies a mode word of the table in modes.cc and keeps `word` as the mode name.
  void apply_mode_word(const ModeWord& entry, std::string word);
  // Opens the directory's lock, checks the commit point, opens the store that `open_store`
  // makes, then settles to the commit point and restores the ids. `store` is the store the
  // constructor opens; none for the one the commit point names. A new metadata.db gets the
  // point {0, store} unless a vector file already holds records.
  // `limit` is the records the point covers, for the store to open no more.
  using OpenStore = std::function<Result<VectorStore>(
      Tamix& db, const std::optional<CommitPoint>& point, uint64_t limit)>;
  static Result<std::unique_ptr<Tamix>> assemble(std::string path, uint64_t dimension,
                                                 std::optional<uint64_t> store,
                                                 const OpenStore& open_store);
  std::optional<CommitPoint> first_point(uint64_t new_store) const;
  // Refuses, before any vector, quantizer or index file is made or changed (metadata.db
  // was only opened, and a refused open closes it as it found it), a commit point that
  // names no store, or that the store to be opened cannot answer for: another store's, or
  // one holding fewer records. Without a point, refuses a store holding no records while
  // metadata.db holds rows.
  Status check_commit_point(const std::optional<CommitPoint>& point,
                            std::optional<uint64_t> store) const;
  Status check_rows_backed(uint64_t store) const;

  // The adaptive check of persist in mode Auto, and the conversions it may start.
  // remove_migration_staging drops what a failed or killed conversion staged.
  static void remove_migration_staging(const std::string& dir);
  void check_and_migrate();
  Status migrate_to_sq8();
  Status migrate_to_hnsw();

  // The graph: loaded from "hnsw.graph" at open, given every readable slot it lacks before
  // a search (on the pool, through `unlocked`), written only when it changed.
  void load_graph(uint64_t committed);
  bool graph_behind() const;
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

  VectorStore store_;
  std::string path_;
  // Add and the searches refuse to run without a quantized store while it is set.
  bool use_quantization_flag_ = false;
  std::unique_ptr<MetadataStore> metadata_;
  std::unique_ptr<HnswIndex> hnsw_index_;
  std::optional<uint64_t> graph_written_;  // the graph's generation in "hnsw.graph"
  uint64_t graph_covered_ = 0;             // every readable slot below it is a node
  std::unique_ptr<IvfIndex> ivf_index_;
  IndexMode mode_ = IndexMode::Flat;
  std::string mode_name_;
  std::unordered_map<std::string, Slot> id_to_slot_;
  SlotIds slot_to_id_;
  // Earlier slots of ids that a batch held more than once; delete removes them too.
  std::unordered_map<std::string, std::vector<Slot>> shadowed_slots_;
  // Slots with an id whose vector can be scored: the only ones a search may answer.
  LiveSlots live_;
  // live_ for the graph searches, or null when it holds every slot of the vector store:
  // the filter then changes nothing and only costs.
  const LiveSlots* graph_filter() const {
    return live_.count() >= vector_count() ? nullptr : &live_;
  }
  // Set once the open completed; only then may release commit, and only then does closing
  // checkpoint metadata.db's WAL.
  bool settled_ = false;
  // The vectors the open found committed: what files written before it may describe.
  uint64_t opened_count_ = 0;
  uint64_t dimension_ = 0;
  pid_t opener_ = ::getpid();
};

}  // namespace tamix
