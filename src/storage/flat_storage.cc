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

Error database_dimension_mismatch(uint64_t expected, uint64_t found) {
  return Error::Message("Database dimension mismatch: expected " + std::to_string(expected) +
                        ", found " + std::to_string(found) +
                        ". Cannot change dimension of existing database.");
}

// Raw files written before the data type existed carry anything there: it is never read.
constexpr HeaderRule kRule{std::nullopt, true, database_dimension_mismatch};
constexpr const char* kOpenContext = "Failed to open vectors.bin";

// Dimensions that overflow the stride cannot be written anyway; the header refuses them.
RecordLayout layout_of(uint64_t dimension) {
  return {dimension,
          dimension <= VectorFileHeader::kMaxDimension ? dimension * sizeof(float) : 0,
          DataType::kRaw};
}

}  // namespace

FlatStorage::FlatStorage(std::unique_ptr<RecordFile> file, uint64_t dimension)
    : file_(std::move(file)), dimension_(dimension) {}

FlatStorage::~FlatStorage() = default;

Result<std::unique_ptr<FlatStorage>> FlatStorage::open(const std::string& dir, uint64_t dimension,
                                                       uint64_t limit) {
  const std::string path = (std::filesystem::path(dir) / kFileName).string();
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<RecordFile> file,
                         RecordFile::open(path, layout_of(dimension), kRule, kOpenContext, limit));
  std::unique_ptr<FlatStorage> store(new FlatStorage(std::move(file), dimension));
  store->add_terms(static_cast<size_t>(store->count()), [&](size_t s) -> const float* {
    const std::optional<VectorView> v = store->get_vector(s);
    return v ? v->data() : nullptr;
  });
  return store;
}

Result<uint64_t> FlatStorage::stored_count(const std::string& dir, uint64_t dimension) {
  return RecordFile::stored_count((std::filesystem::path(dir) / kFileName).string(),
                                  layout_of(dimension), kRule, kOpenContext);
}

void FlatStorage::add_terms(size_t count, const std::function<const float*(size_t)>& vector) {
  const size_t first = norms_.size(), d = static_cast<size_t>(dimension_);
  norms_.resize(first + count);
  cos_factors_.resize(first + count);
  pool::parallel_for(count, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const float* v = vector(i);
      norms_[first + i] = v ? vector_norm(VectorView(v, d)) : std::numeric_limits<float>::quiet_NaN();
      cos_factors_[first + i] = v ? cos_factor(v, d) : 0;
    }
  });
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
  add_terms(vectors.size(), [&](size_t i) { return vectors[i].data(); });
  return consecutive_slots(start, vectors.size());
}

void FlatStorage::forget_from(Slot n) {
  file_->forget_from(n);
  norms_.resize(static_cast<size_t>(file_->count()));
  cos_factors_.resize(norms_.size());
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
  const size_t ahead = scan_prefetch_distance(static_cast<size_t>(d));
  return scan_top_k_by_slots(n, chunks, k, live, [&](const Slot* slots, size_t m, float* out) {
    cosine_scores(query, slots, m, out, ahead);
  });
}

void FlatStorage::cosine_scores(VectorView query, const Slot* slots, size_t count, float* out,
                                size_t ahead) const {
  constexpr size_t kPiece = 256;
  const size_t d = static_cast<size_t>(dimension_);
  const float* base = records();
  const float* rows[kPiece];
  double gathered[kPiece], distances[kPiece];
  for (size_t at = 0; at < count; at += kPiece) {
    const Slot* s = slots + at;
    const size_t m = std::min(kPiece, count - at);
    for (size_t i = 0; i < m; ++i) rows[i] = base + s[i] * d;
    // Ascending slots: the first and last tell whether none is missing between them.
    const double* factors = cos_factors_.data() + s[0];
    if (s[m - 1] - s[0] != m - 1) {
      for (size_t i = 0; i < m; ++i) gathered[i] = cos_factors_[s[i]];
      factors = gathered;
    }
    cos_distances(query.data(), rows, factors, m, d, distances, ahead);
    for (size_t i = 0; i < m; ++i) out[at + i] = cosine_score_of(distances[i]);
  }
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
