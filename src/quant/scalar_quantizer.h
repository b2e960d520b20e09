// ScalarQuantizer: per dimension, the smallest and largest training value; each component
// maps linearly onto the codes 0..255. Immutable once made; safe to share between threads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

// A query prepared for scoring code records: dot(query, decode(codes)) is, up to rounding,
// offset + Σ weights[j] × codes[j]. Components past the query's end weigh nothing.
struct Sq8Query {
  std::vector<float> weights;  // one per dimension: query[j] × range[j] / 255
  float offset;                // Σ query[j] × (decoded value of code 0)
};

class ScalarQuantizer {
 public:
  // Bounds from the training vectors, which must be non-empty and of one length.
  static Result<ScalarQuantizer> train(std::span<const VectorView> training);

  // The "scalar_quantizer.bin" image: u64 n, n floats (min), u64 n, n floats (max), u64
  // dimension.
  std::vector<uint8_t> image() const;
  // Decodes an image and accepts it only when it is whole and of `dimension`.
  static Result<ScalarQuantizer> from_image(std::span<const uint8_t> image, uint64_t dimension);

  // One code per dimension into codes (dimension() bytes); components past x's end get 0.
  void encode(VectorView x, std::span<uint8_t> codes) const;
  // One value per code: min + (code / 255) × (max − min), or the component's fixed value
  // where that range is unusable (see fixed_value).
  void decode(std::span<const uint8_t> codes, std::span<float> out) const;

  Sq8Query prepare(VectorView query) const;

  uint64_t dimension() const { return min_.size(); }
  const std::vector<float>& min() const { return min_; }
  const std::vector<float>& max() const { return max_; }

 private:
  ScalarQuantizer(std::vector<float> min, std::vector<float> max);

  // The one value a component without a usable range decodes to, whatever its code.
  float fixed_value(size_t j) const;

  std::vector<float> min_, max_;
  std::vector<float> range_;  // max − min where it is finite and at least 1e-10, else 0
};

}  // namespace tamix
