// The main constructor and the mode switch.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/console.h"
#include "engine/tamix.h"

namespace tamix {
namespace {

struct ModeWord {
  std::string_view word;
  IndexKind kind;
  QuantizationType quantization;
  bool use_quantization;
};

constexpr ModeWord kModeWords[] = {
    {"flat", IndexKind::Flat, QuantizationType::None, false},
    {"hnsw", IndexKind::Hnsw, QuantizationType::None, false},
    {"auto", IndexKind::Flat, QuantizationType::None, false},
    {"sq8", IndexKind::Sq8, QuantizationType::Scalar, true},
    {"scalar", IndexKind::Sq8, QuantizationType::Scalar, true},
    {"pq", IndexKind::Pq, QuantizationType::Product, true},
    {"product", IndexKind::Pq, QuantizationType::Product, true},
    {"ivf", IndexKind::Ivf, QuantizationType::None, false},
};

Status create_directory(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Error::Message("file name contained an unexpected NUL byte");
  }
  if (path.empty()) return Ok();  // the working directory
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return Error::System(ec.value());
  return Ok();
}

}  // namespace

Result<std::unique_ptr<Tamix>> Tamix::open(std::string path, uint64_t dimension, std::string mode) {
  if (dimension < 128 || dimension > 4096) {
    return Error::InvalidInput("Dimension must be between 128 and 4096, got " +
                               std::to_string(dimension) +
                               ". Common values: 384 (MiniLM), 768 (MPNet/Cohere), 1024 "
                               "(Cohere v3), 1536 (OpenAI)");
  }
  std::string word = mode;
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto entry = std::find_if(std::begin(kModeWords), std::end(kModeWords),
                            [&](const ModeWord& m) { return m.word == word; });
  if (entry == std::end(kModeWords)) {
    return Error::InvalidInput("Invalid mode '" + mode +
                               "'. Choose: 'flat', 'hnsw', 'sq8', 'pq', or 'auto'");
  }
  TAMIX_TRY(create_directory(path));

  // vectors.bin is only read until metadata.db's lock is held, so a failed second open
  // of a live directory changes nothing of the first.
  std::unique_ptr<Tamix> db(new Tamix());
  TAMIX_ASSIGN_OR_RETURN(db->flat_storage_, FlatStorage::open(path, dimension));
  TAMIX_ASSIGN_OR_RETURN(db->metadata_, MetadataStore::open(path));

  db->path_ = std::move(path);
  db->dimension_ = dimension;
  db->storage_kind_ = entry->kind;
  db->quantization_kind_ = entry->quantization;
  db->use_quantization_flag_ = entry->use_quantization;
  if (entry->kind == IndexKind::Pq) {
    db->pq_m_ = std::min<uint64_t>(dimension / 8, 256);
    db->pq_dsub_ = dimension / db->pq_m_;
  }
  TAMIX_TRY(db->settle_to_commit_point());
  TAMIX_TRY(db->restore_ids());

  if (word == "auto") {
    db->set_mode(IndexMode::Auto);
  } else if (word == "sq8" || word == "scalar") {
    db->mode_ = IndexMode::Sq8;
  } else if (word == "hnsw") {
    db->mode_ = IndexMode::Hnsw;
  } else if (word == "ivf") {
    db->set_mode(IndexMode::Ivf);
  }
  db->mode_name_ = std::move(mode);
  return db;
}

// A crash can leave synced vectors, or committed rows, beyond the last commit point (a
// persist killed between the two files, or a threshold flush inside add). Neither is part
// of the database: the store forgets them and their rows go.
Status Tamix::settle_to_commit_point() {
  uint64_t n = vector_count();
  if (const std::optional<CommitPoint> point = metadata_->committed()) {
    n = std::min(n, point->vector_count);
  }
  if (flat_storage_) flat_storage_->forget_from(n);
  return metadata_->forget_from(n);
}

bool Tamix::scorable(Slot slot) const {
  return flat_storage_ && !std::isnan(flat_storage_->norm(slot));
}

Status Tamix::restore_ids() {
  TAMIX_ASSIGN_OR_RETURN(auto rows, metadata_->list_ids());
  uint64_t n = vector_count();
  std::vector<std::string> ids;
  std::vector<Slot> slots;
  for (auto& [slot, id] : rows) {
    if (slot >= n) continue;  // a vector that never reached its file
    slots.push_back(slot);
    ids.push_back(std::move(id));
  }
  record_ids(ids, slots);
  for (Slot slot : slots) {
    if (!scorable(slot)) live_.erase(slot);
  }
  return Ok();
}

void Tamix::set_mode(IndexMode mode) {
  mode_ = mode;
  if (mode != IndexMode::Auto) return;  // the IVF index arrives with its own work
  console::out_line("Tamix Adaptive Core active. Analyzing environment...");
  constexpr double ASSUMED_SYSTEM_RAM_GB = 4.0;
  uint64_t n = vector_count();
  IndexMode selected = n / 16 > 3124 ? IndexMode::Sq8 : IndexMode::Flat;
  console::out_line("Tamix Auto-Tuner: System RAM " +
                    std::to_string(static_cast<int>(ASSUMED_SYSTEM_RAM_GB)) + " GB | Vectors " +
                    std::to_string(n) +
                    " -> Selected Mode: " + std::string(mode_log_name(selected)));
  if (selected == IndexMode::Flat) {
    storage_kind_ = IndexKind::Flat;
    use_quantization_flag_ = false;
  } else {
    storage_kind_ = IndexKind::Sq8;
    quantization_kind_ = QuantizationType::Scalar;
    use_quantization_flag_ = true;
  }
}

}  // namespace tamix
