// The adaptive conversion of a flat store to SQ8. The new store is built whole under a
// staging directory and installed by renames; the commit point at the end of the persist
// that ran it switches the database over, so a crash at any instant leaves the flat store
// in use or the complete SQ8 store, never codes paired with another quantizer.
#include <filesystem>
#include <system_error>

#include "core/console.h"
#include "core/file_io.h"
#include "engine/tamix.h"

namespace tamix {
namespace {

constexpr uint64_t SQ8_MIGRATION_SAMPLE = 5000;
constexpr char kStagingDir[] = ".sq8-migration";

Status fresh_directory(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!ec) std::filesystem::create_directories(dir, ec);
  return ec ? Status(Error::System(ec.value())) : Ok();
}

// The old codes go first, then the quantizer, then the new codes: at no instant do codes
// lie beside a quantizer they were not encoded with.
Status install_staged(const std::filesystem::path& dir, const std::filesystem::path& staging) {
  const std::string codes = (dir / Sq8Storage::kFileName).string();
  TAMIX_TRY(file_io::remove_file(codes));
  TAMIX_TRY(file_io::sync_directory(dir.string()));
  TAMIX_TRY(file_io::rename_file((staging / Sq8Storage::kQuantizerFileName).string(),
                                 (dir / Sq8Storage::kQuantizerFileName).string()));
  TAMIX_TRY(file_io::rename_file((staging / Sq8Storage::kFileName).string(), codes));
  return file_io::sync_directory(dir.string());
}

Status stage_sq8(const std::filesystem::path& staging, uint64_t dimension,
                 std::span<const VectorView> all) {
  TAMIX_TRY(fresh_directory(staging));
  TAMIX_ASSIGN_OR_RETURN(
      std::unique_ptr<Sq8Storage> built,
      Sq8Storage::create(staging.string(), dimension,
                         all.first(std::min<size_t>(all.size(), SQ8_MIGRATION_SAMPLE))));
  console::out_line("  -> Quantizing " + std::to_string(all.size()) + " vectors...");
  TAMIX_TRY(built->add(all));
  return built->flush();
}

}  // namespace

void Tamix::remove_migration_staging(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(dir) / kStagingDir, ignored);
}

void Tamix::check_and_migrate() {
  // Only a flat store converts; a quantized store already holds the vectors, and a graph or
  // an IVF index would lose the raw vectors they read.
  if (!store_.flat() || hnsw_index_ || ivf_index_) return;
  const IndexMode target = auto_selection(vector_count());
  // The storage kind the check reads: the flat store in use reads as mode Flat.
  const IndexMode current = IndexMode::Flat;
  if (target != IndexMode::Sq8) return;
  console::out_line("Tamix Adaptive Core: Migrating from " + std::string(mode_log_name(current)) +
                    " to " + std::string(mode_log_name(target)));
  if (Status migrated = migrate_to_sq8(); !migrated.ok()) {
    console::err_line("Auto-Tuning Migration Warning: " + migrated.error().message());
  }
}

Status Tamix::migrate_to_sq8() {
  console::out_line("  -> Compressing to SQ8 (Scalar Quantization)...");
  FlatStorage* flat = store_.flat();
  if (!flat) return Ok();
  TAMIX_TRY(flat->flush());
  const uint64_t n = flat->count();
  // Every slot must come across: skipping one would shift the slots after it.
  std::vector<VectorView> vectors;
  vectors.reserve(static_cast<size_t>(n));
  for (Slot s = 0; s < n; ++s) {
    const std::optional<VectorView> v = flat->get_vector(s);
    if (!v) {
      return Error::Message("Vector " + std::to_string(s) + " of " + FlatStorage::kFileName +
                            " is unreadable");
    }
    vectors.push_back(*v);
  }
  const std::filesystem::path dir(path_), staging = dir / kStagingDir;
  Status staged = stage_sq8(staging, dimension_, vectors);
  if (staged.ok()) staged = install_staged(dir, staging);
  // A failure's partial copy would hold the disk space that the commit after it needs.
  remove_migration_staging(path_);
  TAMIX_TRY(std::move(staged));
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<Sq8Storage> installed,
                         Sq8Storage::open(path_, dimension_));
  store_ = VectorStore(std::move(installed));
  use_quantization_flag_ = true;
  drop_unscorable();
  console::out_line("  -> SQ8 Migration Complete.");
  return Ok();
}

}  // namespace tamix
