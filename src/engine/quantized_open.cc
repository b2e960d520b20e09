// The constructors of the quantized stores.
#include <string>

#include "core/norm.h"
#include "engine/tamix.h"
#include "engine/vector_checks.h"

namespace tamix {
namespace {

// Refused before anything is created: dimension 0, no training set, one of another length,
// or one with values no quantizer can be trained on.
Status check_training(uint64_t dimension, std::span<const VectorView> training) {
  if (dimension == 0) return Error::InvalidInput("Dimension must be at least 1, got 0");
  if (training.empty()) {
    return Error::InvalidInput(
        "Training vectors required. Provide 1000+ sample vectors for best results.");
  }
  for (size_t i = 0; i < training.size(); ++i) {
    if (training[i].size() != dimension) {
      return Error::InvalidInput("Training vector " + std::to_string(i) + " has dimension " +
                                 std::to_string(training[i].size()) + ", expected " +
                                 std::to_string(dimension));
    }
  }
  for (size_t i = 0; i < training.size(); ++i) {
    if (!all_finite(training[i])) {
      return Error::InvalidInput("Training vector " + std::to_string(i) +
                                 " contains NaN or infinite values");
    }
  }
  return Ok();
}

}  // namespace

Result<std::unique_ptr<Tamix>> Tamix::new_scalar_quantized(std::string path, uint64_t dimension,
                                                           std::span<const VectorView> training) {
  TAMIX_TRY(check_training(dimension, training));
  TAMIX_ASSIGN_OR_RETURN(
      std::unique_ptr<Tamix> db,
      assemble(std::move(path), dimension, VectorStore::kSq8,
               [&](Tamix& db, const auto&, uint64_t limit) {
                 return VectorStore::of(Sq8Storage::create(db.path_, dimension, training, limit));
               }));
  db->mode_ = IndexMode::Sq8;
  db->mode_name_ = "sq8";
  return db;
}

Result<std::unique_ptr<Tamix>> Tamix::new_product_quantized(std::string path, uint64_t dimension,
                                                            std::span<const VectorView> training) {
  TAMIX_TRY(check_training(dimension, training));
  TAMIX_ASSIGN_OR_RETURN(
      std::unique_ptr<Tamix> db,
      assemble(std::move(path), dimension, VectorStore::kPq,
               [&](Tamix& db, const auto&, uint64_t limit) {
                 return VectorStore::of(PqStorage::create(db.path_, training, limit));
               }));
  db->mode_name_ = "pq";
  return db;
}

}  // namespace tamix
