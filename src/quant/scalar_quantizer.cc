#include "quant/scalar_quantizer.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/bincode.h"
#include "core/norm.h"

namespace tamix {
namespace {

constexpr float kMinRange = 1e-10f;

// A list of floats from an image, refused before allocation when the image cannot hold it.
Result<std::vector<float>> read_floats(bincode::Reader& in) {
  TAMIX_ASSIGN_OR_RETURN(const uint64_t n, in.u64());
  if (n > in.remaining() / sizeof(float)) {
    return Error::Serialization("scalar quantizer image lists " + std::to_string(n) +
                                " floats but holds " + std::to_string(in.remaining()) +
                                " more bytes");
  }
  std::vector<float> values(static_cast<size_t>(n));
  TAMIX_TRY(in.f32s(values));
  return values;
}

}  // namespace

ScalarQuantizer::ScalarQuantizer(std::vector<float> min, std::vector<float> max)
    : min_(std::move(min)), max_(std::move(max)), range_(min_.size()) {
  for (size_t j = 0; j < min_.size(); ++j) {
    const float range = max_[j] - min_[j];
    // Rejects NaN too; an infinite range (bounds near ±FLT_MAX) would decode to NaN.
    range_[j] = std::isfinite(range) && range >= kMinRange ? range : 0.0f;
  }
}

Result<ScalarQuantizer> ScalarQuantizer::train(std::span<const VectorView> training) {
  if (training.empty()) return Error::Message("Training data required for scalar quantization");
  const size_t d = training[0].size();
  std::vector<float> min(d, FLT_MAX), max(d, -FLT_MAX);
  for (VectorView v : training) {
    if (v.size() != d) return Error::Message("Inconsistent dimensions in training data");
    for (size_t j = 0; j < d; ++j) {
      // NaN compares false and leaves the bound as it was (minNum, maxNum).
      if (v[j] < min[j]) min[j] = v[j];
      if (v[j] > max[j]) max[j] = v[j];
    }
  }
  return ScalarQuantizer(std::move(min), std::move(max));
}

float ScalarQuantizer::fixed_value(size_t j) const {
  const float lo = min_[j], hi = max_[j];
  if (std::isfinite(hi - lo)) return lo;  // a range below 1e-10
  if (!(lo <= hi)) return 0.0f;           // never saw a value (or NaN bounds)
  if (std::isfinite(lo)) return lo;
  return std::isfinite(hi) ? hi : 0.0f;
}

void ScalarQuantizer::encode(VectorView x, std::span<uint8_t> codes) const {
  const size_t n = std::min(x.size(), codes.size());
  for (size_t j = 0; j < n; ++j) {
    const float range = range_[j];
    float v = range > 0.0f ? (x[j] - min_[j]) / range * 255.0f : 0.0f;
    v = v > 0.0f ? v : 0.0f;  // NaN too: converting it to an integer would be undefined
    v = v < 255.0f ? v : 255.0f;
    codes[j] = static_cast<uint8_t>(v);  // truncation toward zero
  }
  for (size_t j = n; j < codes.size(); ++j) codes[j] = 0;
}

void ScalarQuantizer::decode(std::span<const uint8_t> codes, std::span<float> out) const {
  const size_t n = std::min({codes.size(), out.size(), min_.size()});
  for (size_t j = 0; j < n; ++j) {
    out[j] = range_[j] > 0.0f ? min_[j] + static_cast<float>(codes[j]) / 255.0f * range_[j]
                              : fixed_value(j);
  }
}

Sq8Query ScalarQuantizer::prepare(VectorView query) const {
  Sq8Query q{std::vector<float>(min_.size(), 0.0f), 0.0f};
  const size_t n = std::min(query.size(), min_.size());
  double offset = 0;
  for (size_t j = 0; j < n; ++j) {
    const bool usable = range_[j] > 0.0f;
    q.weights[j] = usable ? query[j] * (range_[j] / 255.0f) : 0.0f;
    offset += static_cast<double>(query[j]) * (usable ? min_[j] : fixed_value(j));
  }
  q.offset = static_cast<float>(offset);
  return q;
}

std::vector<uint8_t> ScalarQuantizer::image() const {
  bincode::Writer out;
  out.u64(min_.size());
  out.f32s(min_);
  out.u64(max_.size());
  out.f32s(max_);
  out.u64(dimension());
  return std::move(out).take();
}

Result<ScalarQuantizer> ScalarQuantizer::from_image(std::span<const uint8_t> image,
                                                    uint64_t dimension) {
  bincode::Reader in(image);
  TAMIX_ASSIGN_OR_RETURN(std::vector<float> min, read_floats(in));
  TAMIX_ASSIGN_OR_RETURN(std::vector<float> max, read_floats(in));
  TAMIX_ASSIGN_OR_RETURN(const uint64_t stored, in.u64());
  TAMIX_TRY(in.finish());
  if (min.size() != stored || max.size() != stored) {
    return Error::Serialization("scalar quantizer image lists " + std::to_string(min.size()) +
                                " minima and " + std::to_string(max.size()) +
                                " maxima for dimension " + std::to_string(stored));
  }
  if (stored != dimension) {
    return Error::Serialization("scalar quantizer image has dimension " + std::to_string(stored) +
                                ", expected " + std::to_string(dimension));
  }
  // Training on finite vectors never writes one; a NaN bound decodes every code alike.
  if (!all_finite(min) || !all_finite(max)) {
    return Error::Serialization("scalar quantizer image holds a bound that is not finite");
  }
  return ScalarQuantizer(std::move(min), std::move(max));
}

}  // namespace tamix
