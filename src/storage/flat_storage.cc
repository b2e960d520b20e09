#include "storage/flat_storage.h"

#include <cstring>
#include <filesystem>
#include <limits>

#include "core/file_header.h"
#include "core/norm.h"
#include "core/pool.h"
#include "storage/chunk_scan.h"
#include "storage/cosine_score.h"

namespace tamix {
namespace {

std::string mismatch_message(uint64_t expected, uint64_t found) {
  return "Database dimension mismatch: expected " + std::to_string(expected) + ", found " +
         std::to_string(found) + ". Cannot change dimension of existing database.";
}

}  // namespace

FlatStorage::FlatStorage(std::unique_ptr<RecordFile> file, uint64_t dimension)
    : file_(std::move(file)), dimension_(dimension) {}

FlatStorage::~FlatStorage() = default;

Result<std::unique_ptr<FlatStorage>> FlatStorage::open(const std::string& dir, uint64_t dimension) {
  const std::string path = (std::filesystem::path(dir) / kFileName).string();
  // Dimensions that overflow the stride cannot be written anyway; the header refuses them.
  const RecordLayout layout{
      dimension, dimension <= VectorFileHeader::kMaxDimension ? dimension * sizeof(float) : 0,
      DataType::kRaw};
  auto check = [dimension](VectorFileHeader::View bytes) -> Result<uint64_t> {
    TAMIX_TRY(VectorFileHeader::validate(bytes));
    const VectorFileHeader header = VectorFileHeader::decode(bytes);
    if (header.dimension != dimension) {
      return Error::Message(mismatch_message(dimension, header.dimension));
    }
    return header.count;
  };
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<RecordFile> file,
                         RecordFile::open(path, layout, check, "Failed to open vectors.bin"));
  std::unique_ptr<FlatStorage> store(new FlatStorage(std::move(file), dimension));
  store->norms_ = pool::map<float>(static_cast<size_t>(store->count()), [&](size_t s) {
    const std::optional<VectorView> v = store->get_vector(s);
    return v ? vector_norm(*v) : std::numeric_limits<float>::quiet_NaN();
  });
  return store;
}

Result<std::vector<Slot>> FlatStorage::add(std::span<const VectorView> vectors) {
  const uint64_t d = dimension_;
  for (size_t i = 0; i < vectors.size(); ++i) {
    if (vectors[i].size() != d) {
      return Error::Message("Vector " + std::to_string(i) + " dimension mismatch: expected " +
                            std::to_string(d) + ", got " + std::to_string(vectors[i].size()));
    }
  }
  TAMIX_ASSIGN_OR_RETURN(const Slot start,
                         file_->append(vectors.size(), [&](size_t i, std::span<uint8_t> r) {
                           std::memcpy(r.data(), vectors[i].data(), r.size());
                         }));
  std::vector<float> added =
      pool::map<float>(vectors.size(), [&](size_t i) { return vector_norm(vectors[i]); });
  norms_.insert(norms_.end(), added.begin(), added.end());
  return consecutive_slots(start, vectors.size());
}

void FlatStorage::forget_from(Slot n) {
  file_->forget_from(n);
  norms_.resize(static_cast<size_t>(file_->count()));
}

std::optional<VectorView> FlatStorage::get_vector(Slot slot) const {
  std::optional<std::span<const uint8_t>> record = file_->record(slot);
  if (!record) return std::nullopt;
  return VectorView(reinterpret_cast<const float*>(record->data()),
                    static_cast<size_t>(dimension_));
}

std::vector<ScoredIndex> FlatStorage::search(VectorView query, uint64_t k,
                                             const LiveSlots* live) const {
  const uint64_t n = count(), chunks = searchable_chunks();
  const uint64_t d = dimension_;
  if (query.size() != d) {
    return scan_top_k(n, chunks, k, live, [](Slot) { return 0.0f; });
  }
  const float* base = records();
  return scan_top_k(n, chunks, k, live,
                    [&](Slot s) { return cosine_score(query.data(), base + s * d, d); });
}

Status FlatStorage::flush() { return file_->flush(); }
Status FlatStorage::prepare_flush() { return file_->prepare_flush(); }

uint64_t FlatStorage::count() const { return file_->count(); }
uint64_t FlatStorage::persisted_count() const { return file_->persisted_count(); }
uint64_t FlatStorage::readable_count() const { return file_->readable_count(); }
uint64_t FlatStorage::searchable_chunks() const {
  return tamix::searchable_chunks(file_->count(), file_->readable_count());
}
const float* FlatStorage::records() const {
  return reinterpret_cast<const float*>(file_->records());
}

}  // namespace tamix
