#include "quant/product_quantizer.h"

#include <algorithm>
#include <string>

namespace tamix {

Result<PqShape> pq_shape(uint64_t d) {
  if (d == 0) return Error::Message("Training vectors cannot be empty or zero-dimensional");
  const uint64_t m = d % 8 == 0 ? d / 8 : std::max<uint64_t>(d / 4, 1);
  const uint64_t d_sub = d / m;
  if (m * d_sub != d) {
    return Error::Message("Dimension " + std::to_string(d) +
                          " must be divisible by m=" + std::to_string(m));
  }
  return PqShape{m, d_sub};
}

ProductQuantizer::ProductQuantizer(PqShape shape, std::vector<float> centroids)
    : shape_(shape), centroids_(std::move(centroids)) {
  codebooks_.reserve(shape_.m);
  const size_t per_codebook = kK * shape_.d_sub;
  for (uint64_t i = 0; i < shape_.m; ++i) {
    codebooks_.emplace_back(VectorView(centroids_).subspan(i * per_codebook, per_codebook),
                            shape_.d_sub);
  }
}

VectorView ProductQuantizer::sub_vector(VectorView x, uint64_t i) const {
  const uint64_t begin = std::min<uint64_t>(x.size(), i * shape_.d_sub);
  const uint64_t end = std::min<uint64_t>(x.size(), begin + shape_.d_sub);
  return x.subspan(begin, end - begin);
}

void ProductQuantizer::encode(VectorView x, std::span<uint8_t> codes) const {
  for (uint64_t i = 0; i < shape_.m; ++i) codes[i] = codebooks_[i].nearest(sub_vector(x, i));
}

std::vector<float> ProductQuantizer::compute_distance_table(VectorView query) const {
  std::vector<float> table(shape_.m * kK, 0.0f);
  for (uint64_t i = 0; i < shape_.m; ++i) {
    const VectorView q = sub_vector(query, i);
    const float length = euclidean_length(q);
    if (length < 1e-10f) continue;
    std::span<float> row(table.data() + i * kK, kK);
    codebooks_[i].dots(q, row);
    for (float& entry : row) entry = -entry / length;
  }
  return table;
}

}  // namespace tamix
