#include "storage/flat_storage.h"

#include <cstring>
#include <filesystem>

#include "core/file_header.h"
#include "core/pool.h"
#include "core/top_k.h"
#include "storage/cosine_score.h"
#include "storage/record_file.h"

namespace tamix {
namespace {

std::string mismatch_message(uint64_t expected, uint64_t found) {
  return "Database dimension mismatch: expected " + std::to_string(expected) + ", found " +
         std::to_string(found) + ". Cannot change dimension of existing database.";
}

}  // namespace

struct FlatStorage::Impl {
  std::unique_ptr<RecordFile> file;
  uint64_t dimension;

  VectorView view(std::span<const uint8_t> record) const {
    return {reinterpret_cast<const float*>(record.data()), static_cast<size_t>(dimension)};
  }

  // Scores of one chunk in slot order; empty when any of its records is unreadable.
  std::vector<ScoredIndex> score_chunk(VectorView query, Slot begin, Slot end) const {
    if (end > file->readable_count()) return {};
    std::vector<ScoredIndex> out;
    out.reserve(static_cast<size_t>(end - begin));
    const bool comparable = query.size() == dimension;
    for (Slot s = begin; s < end; ++s) {
      float score = 0.0f;
      if (comparable) {
        score = cosine_score(query.data(), view(*file->record(s)).data(), dimension);
      }
      out.push_back({s, score});
    }
    return out;
  }
};

FlatStorage::FlatStorage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

FlatStorage::~FlatStorage() = default;

Result<std::unique_ptr<FlatStorage>> FlatStorage::open(const std::string& dir, uint64_t dimension) {
  const std::string path = (std::filesystem::path(dir) / "vectors.bin").string();
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
  auto impl = std::make_unique<Impl>();
  impl->file = std::move(file);
  impl->dimension = dimension;
  return std::unique_ptr<FlatStorage>(new FlatStorage(std::move(impl)));
}

Result<std::vector<Slot>> FlatStorage::add(std::span<const VectorView> vectors) {
  const uint64_t d = impl_->dimension;
  for (size_t i = 0; i < vectors.size(); ++i) {
    if (vectors[i].size() != d) {
      return Error::Message("Vector " + std::to_string(i) + " dimension mismatch: expected " +
                            std::to_string(d) + ", got " + std::to_string(vectors[i].size()));
    }
  }
  TAMIX_ASSIGN_OR_RETURN(const Slot start,
                         impl_->file->append(vectors.size(), [&](size_t i, std::span<uint8_t> r) {
                           std::memcpy(r.data(), vectors[i].data(), r.size());
                         }));
  std::vector<Slot> slots(vectors.size());
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = start + i;
  return slots;
}

std::optional<VectorView> FlatStorage::get_vector(Slot slot) const {
  std::optional<std::span<const uint8_t>> record = impl_->file->record(slot);
  if (!record) return std::nullopt;
  return impl_->view(*record);
}

std::vector<ScoredIndex> FlatStorage::search(VectorView query, uint64_t k) const {
  const uint64_t n = impl_->file->count();
  if (n == 0) return {};
  const uint64_t chunks = searchable_chunks();
  const uint64_t kk = std::min(n, k);
  // Each chunk keeps only its kk best: the union still holds the kk best of all, and the
  // serial selection after the join stays small.
  std::vector<std::vector<ScoredIndex>> parts =
      pool::map<std::vector<ScoredIndex>>(static_cast<size_t>(chunks), [&](size_t j) {
        const Slot begin = j * SEARCH_CHUNK_SIZE;
        auto part = impl_->score_chunk(query, begin, std::min(n, begin + SEARCH_CHUNK_SIZE));
        return kk < part.size() ? select_top_k(std::move(part), kk) : part;
      });
  std::vector<ScoredIndex> all;
  size_t total = 0;
  for (const auto& part : parts) total += part.size();
  all.reserve(total);
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return select_top_k(std::move(all), kk);
}

Status FlatStorage::flush() { return impl_->file->flush(); }

uint64_t FlatStorage::count() const { return impl_->file->count(); }
uint64_t FlatStorage::dimension() const { return impl_->dimension; }
uint64_t FlatStorage::persisted_count() const { return impl_->file->persisted_count(); }
// Chunks past the readable records yield nothing, so they are never started: a huge
// unflushed tail costs no work items.
uint64_t FlatStorage::searchable_chunks() const {
  const uint64_t n = impl_->file->count(), readable = impl_->file->readable_count();
  return readable == n ? (n + SEARCH_CHUNK_SIZE - 1) / SEARCH_CHUNK_SIZE
                       : readable / SEARCH_CHUNK_SIZE;
}

}  // namespace tamix
