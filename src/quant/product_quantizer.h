// ProductQuantizer: a vector of d floats cut into m sub-vectors of d_sub floats, each
// stored as the index of the most similar of 256 centroids of its sub-space (one byte).
// Immutable once trained or loaded; encode and the distance table are safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"
#include "core/types.h"
#include "quant/codebook.h"
#include "quant/kernels.h"

namespace tamix {

struct PqShape {
  uint64_t m;      // sub-quantizers: code bytes per vector
  uint64_t d_sub;  // floats per sub-vector; m × d_sub = d
};

// m = d / 8 when 8 divides d, else max(d / 4, 1); d_sub = d / m. Fails when d is 0 or
// m × d_sub falls short of d.
Result<PqShape> pq_shape(uint64_t d);

class ProductQuantizer {
 public:
  static constexpr uint64_t kK = quant::kCentroids;  // centroids per codebook

  // Derives the shape from the first vector's length, prints the progress lines and trains
  // one codebook per sub-space on the worker pool. The vectors must all have that length.
  static Result<ProductQuantizer> train(std::span<const VectorView> training);

  // The "codebooks.bin" image (bincode): m, k, d_sub, the number of codebooks, then each
  // codebook as a u64 count and its centroids, each a u64 length and its floats.
  std::vector<uint8_t> image() const;
  static uint64_t image_size(PqShape shape);
  // Accepts only a whole image of the shape pq_shape(dimension) gives.
  static Result<ProductQuantizer> from_image(std::span<const uint8_t> image, uint64_t dimension);

  // Writes the image whole to path ("Failed to save codebooks" on failure).
  Status save(const std::string& path) const;
  // Reads and checks an image of `dimension` ("Failed to load codebooks" on failure).
  static Result<ProductQuantizer> load(const std::string& path, uint64_t dimension);

  // m code bytes; sub-vectors are cut at x's end, never read past it.
  void encode(VectorView x, std::span<uint8_t> codes) const;

  // m rows of 256: entry j of row i is -dot(q_i, c_ij) / |q_i| for the query's sub-vector
  // q_i (cut at the query's end), or 0 for every j when |q_i| < 1e-10.
  std::vector<float> compute_distance_table(VectorView query) const;

  // Σ over i of table[i × 256 + codes[i]] for a record of m codes (summed in lanes).
  float table_sum(const float* table, const uint8_t* codes) const {
    float sum;
    quant::kernels().table_sums(table, codes, shape_.m, 1, &sum);
    return sum;
  }
  // The same for `count` records back to back.
  void table_sums(const float* table, const uint8_t* codes, size_t count, float* out) const {
    quant::kernels().table_sums(table, codes, shape_.m, count, out);
  }

  uint64_t m() const { return shape_.m; }
  uint64_t k() const { return kK; }
  uint64_t d_sub() const { return shape_.d_sub; }
  uint64_t dimension() const { return shape_.m * shape_.d_sub; }
  // Centroid q of codebook i: d_sub floats.
  VectorView centroid(uint64_t i, uint64_t q) const {
    return VectorView(centroids_).subspan((i * kK + q) * shape_.d_sub, shape_.d_sub);
  }

 private:
  ProductQuantizer(PqShape shape, std::vector<float> centroids);

  VectorView sub_vector(VectorView x, uint64_t i) const;

  PqShape shape_;
  std::vector<float> centroids_;     // m × 256 × d_sub: codebook-major, as in the image
  std::vector<Codebook> codebooks_;  // the same centroids laid out for the kernels
};

}  // namespace tamix
