#include "storage/sq8_storage.h"

#include <filesystem>

#include "core/file_header.h"
#include "core/file_io.h"
#include "core/norm.h"
#include "core/pool.h"
#include "storage/encoded_append.h"

namespace tamix {
namespace {

// No dimension range: whatever a quantizer was trained at reopens.
constexpr HeaderRule kRule{DataType::kSq8};
constexpr const char* kOpenContext = "Failed to open sq8_vectors.bin";

// Dimensions the header cannot hold are refused by stored_count before any write.
RecordLayout layout_of(uint64_t dimension) {
  return {dimension, dimension <= VectorFileHeader::kMaxDimension ? dimension : 0,
          DataType::kSq8};
}

Result<ScalarQuantizer> load_quantizer(const std::string& path, uint64_t dimension) {
  auto read = [&]() -> Result<ScalarQuantizer> {
    TAMIX_ASSIGN_OR_RETURN(std::vector<uint8_t> image,
                           file_io::read_file(path, 24 + 8 * dimension));
    return ScalarQuantizer::from_image(image, dimension);
  };
  return read().Context("Failed to load scalar_quantizer.bin");
}

Result<ScalarQuantizer> train_quantizer(const std::string& path, uint64_t dimension,
                                        std::span<const VectorView> training) {
  TAMIX_ASSIGN_OR_RETURN(ScalarQuantizer quantizer, ScalarQuantizer::train(training));
  if (quantizer.dimension() != dimension) {
    return dimension_mismatch(dimension, quantizer.dimension());
  }
  TAMIX_TRY(file_io::write_file_atomically(path, quantizer.image()));
  return quantizer;
}

}  // namespace

Sq8Storage::Sq8Storage(std::unique_ptr<RecordFile> file, ScalarQuantizer quantizer,
                       uint64_t dimension)
    : file_(std::move(file)), quantizer_(std::move(quantizer)), dimension_(dimension) {}

Sq8Storage::~Sq8Storage() = default;

template <class Choose>
Result<std::unique_ptr<Sq8Storage>> Sq8Storage::open_with(const std::string& dir,
                                                          uint64_t dimension, uint64_t limit,
                                                          const Choose& choose) {
  const std::filesystem::path base(dir);
  const std::string codes_path = (base / kFileName).string();
  const std::string quantizer_path = (base / kQuantizerFileName).string();
  const RecordLayout layout = layout_of(dimension);

  TAMIX_ASSIGN_OR_RETURN(const uint64_t stored, stored_count(dir, dimension));
  TAMIX_ASSIGN_OR_RETURN(ScalarQuantizer quantizer, choose(stored, quantizer_path));
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<RecordFile> file,
                         RecordFile::open(codes_path, layout, kRule, kOpenContext, limit));
  std::unique_ptr<Sq8Storage> store(
      new Sq8Storage(std::move(file), std::move(quantizer), dimension));
  const uint8_t* records = store->records();
  store->norms_ = pool::map<float>(static_cast<size_t>(store->count()), [&](size_t s) {
    return store->decoded_norm({records + s * dimension, static_cast<size_t>(dimension)});
  });
  return store;
}

Result<std::unique_ptr<Sq8Storage>> Sq8Storage::create(const std::string& dir, uint64_t dimension,
                                                       std::span<const VectorView> training,
                                                       uint64_t limit) {
  if (training.empty()) return Error::Message("Training data required for scalar quantization");
  return open_with(dir, dimension, limit, [&](uint64_t stored, const std::string& path) {
    return stored > 0 ? load_quantizer(path, dimension)
                      : train_quantizer(path, dimension, training);
  });
}

Result<std::unique_ptr<Sq8Storage>> Sq8Storage::open(const std::string& dir, uint64_t dimension,
                                                     uint64_t limit) {
  return open_with(dir, dimension, limit, [&](uint64_t, const std::string& path) {
    return load_quantizer(path, dimension);
  });
}

Result<uint64_t> Sq8Storage::stored_count(const std::string& dir, uint64_t dimension) {
  return RecordFile::stored_count((std::filesystem::path(dir) / kFileName).string(),
                                  layout_of(dimension), kRule, kOpenContext);
}

float Sq8Storage::decoded_norm(std::span<const uint8_t> codes) const {
  thread_local std::vector<float> decoded;
  decoded.resize(codes.size());
  quantizer_.decode(codes, decoded);
  return vector_norm(decoded);
}

Result<std::vector<Slot>> Sq8Storage::add(std::span<const VectorView> vectors) {
  for (VectorView v : vectors) {
    if (v.size() != dimension_) {
      return Error::Message("Vector dimension " + std::to_string(v.size()) +
                            " doesn't match expected " + std::to_string(dimension_));
    }
  }
  std::vector<float> added(vectors.size());
  TAMIX_ASSIGN_OR_RETURN(
      const Slot start,
      append_encoded(
          *file_, vectors.size(),
          [&](size_t i, std::span<uint8_t> record) { quantizer_.encode(vectors[i], record); },
          [&](size_t first, std::span<const uint8_t> block) {
            const size_t d = static_cast<size_t>(dimension_);
            pool::parallel_for(d == 0 ? 0 : block.size() / d, [&](size_t a, size_t b) {
              for (size_t i = a; i < b; ++i)
                added[first + i] = decoded_norm(block.subspan(i * d, d));
            });
          }));
  norms_.insert(norms_.end(), added.begin(), added.end());
  // Durability in steps: a long run of adds is synced every few megabytes.
  if ((count() - persisted_count()) * dimension_ > kFlushThreshold) {
    if (Status flushed = flush(); !flushed.ok()) {
      forget_from(start);
      return std::move(flushed).error();
    }
  }
  return consecutive_slots(start, vectors.size());
}

void Sq8Storage::forget_from(Slot n) {
  file_->forget_from(n);
  norms_.resize(static_cast<size_t>(file_->count()));
}

Status Sq8Storage::flush() { return file_->flush(); }
Status Sq8Storage::prepare_flush() { return file_->prepare_flush(); }

}  // namespace tamix
