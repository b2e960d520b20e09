// Training of the product quantizer: one k-means per sub-space, the sub-spaces in parallel.
#include <random>
#include <string>

#include "core/console.h"
#include "core/pool.h"
#include "quant/kmeans.h"
#include "quant/product_quantizer.h"

namespace tamix {
namespace {

// Sub-vector i of every training vector, back to back; a short vector is padded with 0.
std::vector<float> sub_vectors(std::span<const VectorView> training, PqShape shape, uint64_t i) {
  std::vector<float> out(training.size() * shape.d_sub, 0.0f);
  for (size_t j = 0; j < training.size(); ++j) {
    const VectorView v = training[j];
    for (uint64_t t = 0; t < shape.d_sub && i * shape.d_sub + t < v.size(); ++t) {
      out[j * shape.d_sub + t] = v[i * shape.d_sub + t];
    }
  }
  return out;
}

Result<std::vector<float>> train_codebook(std::span<const VectorView> training, PqShape shape,
                                          uint64_t i) {
  console::out_line("Training sub-quantizer " + std::to_string(i + 1) + "/" +
                    std::to_string(shape.m));
  const std::vector<float> points = sub_vectors(training, shape, i);
  std::mt19937_64 rng(std::random_device{}());
  return kmeans(points, training.size(), shape.d_sub, rng)
      .Context("Failed to train codebook " + std::to_string(i));
}

}  // namespace

Result<ProductQuantizer> ProductQuantizer::train(std::span<const VectorView> training) {
  if (training.empty()) {
    return Error::Message("Training vectors cannot be empty or zero-dimensional");
  }
  TAMIX_ASSIGN_OR_RETURN(const PqShape shape, pq_shape(training[0].size()));
  console::out_line("Training Product Quantizer with M=" + std::to_string(shape.m) +
                    ", K=" + std::to_string(kK) + ", D_sub=" + std::to_string(shape.d_sub));
  TAMIX_ASSIGN_OR_RETURN(
      std::vector<std::vector<float>> codebooks,
      pool::try_map<std::vector<float>>(static_cast<size_t>(shape.m), [&](size_t i) {
        return train_codebook(training, shape, i);
      }));
  std::vector<float> centroids;
  centroids.reserve(shape.m * kK * shape.d_sub);
  for (const auto& c : codebooks) centroids.insert(centroids.end(), c.begin(), c.end());
  console::out_line("Training complete!");
  return ProductQuantizer(shape, std::move(centroids));
}

}  // namespace tamix
