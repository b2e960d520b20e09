// The main constructor, the opening all constructors share, and the mode switches.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "core/console.h"
#include "core/file_header.h"
#include "core/file_io.h"
#include "engine/tamix.h"
#include "engine/vector_checks.h"

namespace tamix {
namespace {

Status create_directory(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Error::Message("file name contained an unexpected NUL byte");
  }
  if (path.empty()) return Ok();  // the working directory
  return file_io::make_directories(path);
}

// The count a vector file's header states; 0 for a missing or shorter file. Nothing is
// checked: a damaged header is for the store's open to refuse.
uint64_t stored_header_count(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  VectorFileHeader::Bytes bytes{};
  if (!in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) return 0;
  return VectorFileHeader::decode(bytes).count;
}

}  // namespace

Result<std::unique_ptr<Tamix>> Tamix::open(std::string path, uint64_t dimension, std::string mode) {
  TAMIX_TRY(check_dimension(dimension,
                            ". Common values: 384 (MiniLM), 768 (MPNet/Cohere), 1024 "
                            "(Cohere v3), 1536 (OpenAI)"));
  const ModeWord* entry = find_mode_word(mode);
  if (!entry) {
    return Error::InvalidInput("Invalid mode '" + mode +
                               "'. Choose: 'flat', 'hnsw', 'sq8', 'pq', or 'auto'");
  }
  TAMIX_ASSIGN_OR_RETURN(
      std::unique_ptr<Tamix> db,
      assemble(std::move(path), dimension, std::nullopt,
               [&](Tamix& db, const std::optional<CommitPoint>& point,
                   uint64_t limit) -> Result<VectorStore> {
                 const uint64_t named = point ? point->vector_store : VectorStore::kFlat;
                 Result<VectorStore> store = VectorStore::open(named, db.path_, dimension, limit);
                 // An empty quantized store may never have been made (a kill inside its
                 // constructor, after the point): then the flat store opens.
                 if (store.ok() || named == VectorStore::kFlat || point->vector_count > 0) {
                   return store;
                 }
                 return VectorStore::open(VectorStore::kFlat, db.path_, dimension, limit);
               }));
  db->load_graph(db->vector_count());
  db->apply_mode_word(*entry, std::move(mode));
  return db;
}

Result<std::unique_ptr<Tamix>> Tamix::assemble(std::string path, uint64_t dimension,
                                               std::optional<uint64_t> store,
                                               const OpenStore& open_store) {
  TAMIX_TRY(create_directory(path));
  std::unique_ptr<Tamix> db(new Tamix());
  db->path_ = std::move(path);
  db->dimension_ = dimension;
  // The lock comes first, so a failed second open of a live directory changes nothing.
  TAMIX_ASSIGN_OR_RETURN(
      db->metadata_, MetadataStore::open(db->path_, [&] {
        return db->first_point(store.value_or(VectorStore::kFlat));
      }));
  const std::optional<CommitPoint> point = db->metadata_->committed();
  TAMIX_TRY(db->check_commit_point(point, store));
  remove_migration_staging(db->path_);
  // Records past the point are not opened at all: they cost nothing, whatever they count.
  TAMIX_ASSIGN_OR_RETURN(db->store_,
                         open_store(*db, point, point ? point->vector_count : kAllRecords));
  // The store that holds the vectors answers whatever a mode word says.
  db->use_quantization_flag_ = db->store_.quantized();
  TAMIX_TRY(db->settle_to_commit_point());
  TAMIX_TRY(db->restore_ids());
  db->settled_ = true;
  return db;
}

// Without a point a database opens with what its vector file counts, which before a first
// persist is more than any commit covers. So a new database starts with a point; only
// records that a vector file held before metadata.db existed keep the old rule.
std::optional<CommitPoint> Tamix::first_point(uint64_t new_store) const {
  for (uint64_t number : {VectorStore::kFlat, VectorStore::kSq8, VectorStore::kPq}) {
    const std::string file =
        (std::filesystem::path(path_) / VectorStore::file_name(number)).string();
    if (stored_header_count(file) > 0) return std::nullopt;
  }
  return CommitPoint{0, new_store};
}

// Persist syncs a vector file before the commit that counts its records, so a file with
// fewer can only come from lost data or damage: opening it would erase the ids of the
// records it lacks.
Status Tamix::check_commit_point(const std::optional<CommitPoint>& point,
                                 std::optional<uint64_t> store) const {
  if (!point) return check_rows_backed(store.value_or(VectorStore::kFlat));
  if (!VectorStore::known(point->vector_store)) {
    return Error::Message("metadata.db: invalid vector_store " +
                          std::to_string(point->vector_store));
  }
  if (point->vector_count == 0) return Ok();
  const std::string file = VectorStore::file_name(point->vector_store);
  if (store && *store != point->vector_store) {
    return Error::Message("The vectors of this database are in " + file +
                          "; open it with the constructor that created it or with "
                          "TamixPython(path, dimension)");
  }
  TAMIX_ASSIGN_OR_RETURN(const uint64_t held,
                         VectorStore::stored_count(point->vector_store, path_, dimension_));
  if (held >= point->vector_count) return Ok();
  return Error::Message(file + " holds " + std::to_string(held) +
                        " vectors but the last commit counts " +
                        std::to_string(point->vector_count));
}

// Without a point the open keeps the rows of the records the vector file holds. A file
// that holds none while rows exist was lost or damaged: opening it would erase every row.
Status Tamix::check_rows_backed(uint64_t store) const {
  TAMIX_ASSIGN_OR_RETURN(const uint64_t held, VectorStore::stored_count(store, path_, dimension_));
  if (held > 0) return Ok();
  TAMIX_ASSIGN_OR_RETURN(const uint64_t rows, metadata_->stored_slots());
  if (rows == 0) return Ok();
  return Error::Message(std::string(VectorStore::file_name(store)) +
                        " holds 0 vectors but metadata.db holds rows for " + std::to_string(rows) +
                        " vectors");
}

// A crash can leave synced vectors, or committed rows, beyond the last commit point (a
// persist killed between the two files, or a threshold flush inside add). Neither is part
// of the database: the store's open already left the vectors out (assemble's limit), and
// their rows go here. Only an engine whose open completed commits when it is released, so
// a failed open never moves the point.
Status Tamix::settle_to_commit_point() {
  const uint64_t n = vector_count();
  TAMIX_TRY(metadata_->settle(n));
  opened_count_ = n;
  return Ok();
}

Status Tamix::restore_ids() {
  std::vector<Slot> damaged;
  TAMIX_ASSIGN_OR_RETURN(auto rows, metadata_->list_ids(&damaged));
  uint64_t n = vector_count();
  // A damaged id is decided once here: no later call can return or answer with it.
  for (const Slot slot : damaged) {
    if (slot >= n) continue;
    console::err_line("Skipped the stored id of slot " + std::to_string(slot) +
                      ": not valid UTF-8");
  }
  std::vector<std::string> ids;
  std::vector<Slot> slots;
  for (auto& [slot, id] : rows) {
    if (slot >= n) continue;  // a vector that never reached its file
    slots.push_back(slot);
    ids.push_back(std::move(id));
  }
  record_ids(ids, slots);
  drop_unscorable();
  return Ok();
}

void Tamix::set_mode(IndexMode mode) {
  mode_ = mode;
  if (mode == IndexMode::Ivf && !ivf_index_) load_or_create_ivf();
  if (mode != IndexMode::Auto) return;
  console::out_line("Tamix Adaptive Core active. Analyzing environment...");
  constexpr double ASSUMED_SYSTEM_RAM_GB = 4.0;
  const uint64_t n = vector_count();
  const IndexMode selected = auto_selection(n);
  console::out_line("Tamix Auto-Tuner: System RAM " +
                    std::to_string(static_cast<int>(ASSUMED_SYSTEM_RAM_GB)) + " GB | Vectors " +
                    std::to_string(n) +
                    " -> Selected Mode: " + std::string(mode_log_name(selected)));
  // The flag follows the store the engine has, never a store it lacks: a quantized store
  // keeps answering, and a flat store past the threshold is converted by the next persist.
  use_quantization_flag_ = store_.quantized();
}

Status Tamix::set_mode_word(std::string word) {
  const ModeWord* entry = find_mode_word(word);
  if (!entry || !entry->set_mode_accepts) return Error::InvalidInput("Invalid mode: " + word);
  apply_mode_word(*entry, std::move(word));
  return Ok();
}

void Tamix::apply_mode_word(const ModeWord& entry, std::string word) {
  if (entry.flag == FlagRule::kSet) use_quantization_flag_ = true;
  if (entry.flag == FlagRule::kFromStore) use_quantization_flag_ = store_.quantized();
  if (entry.mode == IndexMode::Auto || entry.mode == IndexMode::Ivf) {
    set_mode(entry.mode);
  } else {
    mode_ = entry.mode;
  }
  mode_name_ = std::move(word);
}

}  // namespace tamix
