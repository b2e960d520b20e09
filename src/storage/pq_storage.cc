#include "storage/pq_storage.h"

#include <filesystem>

#include "core/file_header.h"
#include "storage/chunk_scan.h"
#include "storage/encoded_append.h"

namespace tamix {
namespace {

// No dimension range: whatever a quantizer was trained at reopens.
constexpr HeaderRule kRule{DataType::kPq};
constexpr const char* kOpenContext = "Failed to open quantized_vectors.bin";

Result<RecordLayout> layout_of(uint64_t d) {
  TAMIX_ASSIGN_OR_RETURN(const PqShape shape, pq_shape(d));
  return RecordLayout{d, shape.m, DataType::kPq};
}

Result<ProductQuantizer> train_quantizer(const std::string& path,
                                         std::span<const VectorView> training) {
  TAMIX_ASSIGN_OR_RETURN(ProductQuantizer quantizer, ProductQuantizer::train(training));
  TAMIX_TRY(quantizer.save(path));
  return quantizer;
}

}  // namespace

PqStorage::PqStorage(std::unique_ptr<RecordFile> file, ProductQuantizer quantizer)
    : file_(std::move(file)), quantizer_(std::move(quantizer)) {}

PqStorage::~PqStorage() = default;

template <class Choose>
Result<std::unique_ptr<PqStorage>> PqStorage::open_with(const std::string& dir, uint64_t d,
                                                        uint64_t limit, const Choose& choose) {
  TAMIX_ASSIGN_OR_RETURN(const RecordLayout layout, layout_of(d));
  const std::filesystem::path base(dir);
  const std::string codes_path = (base / kFileName).string();
  const std::string codebooks_path = (base / kCodebooksFileName).string();

  // Dimensions the header cannot hold are refused here, before training.
  TAMIX_ASSIGN_OR_RETURN(const uint64_t stored, stored_count(dir, d));
  TAMIX_ASSIGN_OR_RETURN(ProductQuantizer quantizer, choose(stored, codebooks_path));
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<RecordFile> file,
                         RecordFile::open(codes_path, layout, kRule, kOpenContext, limit));
  return std::unique_ptr<PqStorage>(new PqStorage(std::move(file), std::move(quantizer)));
}

Result<std::unique_ptr<PqStorage>> PqStorage::create(const std::string& dir,
                                                     std::span<const VectorView> training,
                                                     uint64_t limit) {
  if (training.empty()) {
    return Error::Message("Training vectors cannot be empty or zero-dimensional");
  }
  const uint64_t d = training[0].size();
  return open_with(dir, d, limit, [&](uint64_t stored, const std::string& path) {
    return stored > 0 ? ProductQuantizer::load(path, d) : train_quantizer(path, training);
  });
}

Result<std::unique_ptr<PqStorage>> PqStorage::open(const std::string& dir, uint64_t d,
                                                   uint64_t limit) {
  return open_with(dir, d, limit, [&](uint64_t, const std::string& path) {
    return ProductQuantizer::load(path, d);
  });
}

Result<uint64_t> PqStorage::stored_count(const std::string& dir, uint64_t d) {
  TAMIX_ASSIGN_OR_RETURN(const RecordLayout layout, layout_of(d));
  return RecordFile::stored_count((std::filesystem::path(dir) / kFileName).string(), layout,
                                  kRule, kOpenContext);
}

Result<std::vector<Slot>> PqStorage::add(std::span<const VectorView> vectors) {
  TAMIX_ASSIGN_OR_RETURN(const Slot start, append_encoded(*file_, vectors.size(),
                                                          [&](size_t i, std::span<uint8_t> record) {
                                                            quantizer_.encode(vectors[i], record);
                                                          }));
  return consecutive_slots(start, vectors.size());
}

void PqStorage::forget_from(Slot n) { file_->forget_from(n); }

std::vector<ScoredIndex> PqStorage::search(VectorView query, uint64_t k,
                                           const LiveSlots* live) const {
  if (count() == 0) return {};
  // Slots outside the mapping are skipped one by one, never their whole chunk.
  const uint64_t n = readable_count();
  const uint64_t chunks = searchable_chunks(n, n);
  const std::vector<float> table = quantizer_.compute_distance_table(query);
  const uint8_t* base = records();
  const size_t m = static_cast<size_t>(code_size());
  const float divisor = static_cast<float>(m);
  return scan_top_k_by_chunk(n, chunks, k, live, [&](Slot begin, Slot end, float* scores) {
    quantizer_.table_sums(table.data(), base + begin * m, end - begin, scores);
    for (Slot s = begin; s < end; ++s) scores[s - begin] = -scores[s - begin] / divisor;
  });
}

Status PqStorage::flush() { return file_->flush(); }
Status PqStorage::prepare_flush() { return file_->prepare_flush(); }

}  // namespace tamix
