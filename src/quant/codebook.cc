#include "quant/codebook.h"

#include <cmath>
#include <limits>

namespace tamix {
namespace {

constexpr float kShort = 1e-10f;

}  // namespace

float euclidean_length(VectorView v) {
  float sum = 0;
  for (float x : v) sum += x * x;
  return std::sqrt(sum);
}

Codebook::Codebook(std::span<const float> centroids, size_t dim)
    : dim_(dim),
      by_component_(dim * quant::kCentroids, 0.0f),
      scale_(quant::kCentroids, 0.0f),
      shortness_(quant::kCentroids, 0.0f),
      penalty_(quant::kCentroids, 0.0f) {
  for (size_t q = 0; q < quant::kCentroids; ++q) {
    VectorView c = centroids.subspan(q * dim, dim);
    bool finite = true;
    for (float x : c) finite = finite && std::isfinite(x);
    if (!finite) {
      penalty_[q] = -std::numeric_limits<float>::infinity();
      continue;  // its components stay 0, so no NaN reaches a dot
    }
    for (size_t t = 0; t < dim; ++t) by_component_[t * quant::kCentroids + q] = c[t];
    const float length = euclidean_length(c);
    if (length < kShort) {
      shortness_[q] = 1.0f;
    } else {
      scale_[q] = 1.0f / length;
    }
  }
}

quant::CentroidLayout Codebook::layout() const {
  return {by_component_.data(), scale_.data(), shortness_.data(), penalty_.data(), dim_};
}

const float* Codebook::fitted(VectorView v, std::vector<float>& scratch) const {
  if (v.size() >= dim_) return v.data();
  scratch.assign(dim_, 0.0f);
  std::copy(v.begin(), v.end(), scratch.begin());
  return scratch.data();
}

uint8_t Codebook::nearest(VectorView v) const {
  const float length = euclidean_length(v);
  if (!(length >= kShort) || !std::isfinite(length)) return 0;
  std::vector<float> scratch;
  return static_cast<uint8_t>(quant::kernels().nearest(fitted(v, scratch), length, layout()));
}

void Codebook::dots(VectorView v, std::span<float> out) const {
  std::vector<float> scratch;
  quant::kernels().centroid_dots(fitted(v, scratch), layout(), out.data());
}

}  // namespace tamix
