// Codebook: the 256 centroids of one sub-space, also laid out for the similarity kernels
// (component-major, with each centroid's inverse length). Immutable; safe to share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.h"
#include "quant/kernels.h"

namespace tamix {

class Codebook {
 public:
  // 256 centroids of `dim` floats, centroid q at [q × dim].
  Codebook(std::span<const float> centroids, size_t dim);

  // The index of the centroid most similar to v by cosine similarity (each dot over the
  // common length, each length over its whole vector). A centroid shorter than 1e-10 has
  // similarity -1; equal similarities go to the later centroid. A vector shorter than
  // 1e-10, or whose length is not finite, gets 0; a centroid with a non-finite component
  // is chosen only when every centroid has one.
  uint8_t nearest(VectorView v) const;

  // out[q] = dot(v, centroid q) over the common length, summed in index order.
  void dots(VectorView v, std::span<float> out) const;

  size_t dim() const { return dim_; }

 private:
  quant::CentroidLayout layout() const;
  // v cut or padded with zeros to dim floats; padding adds nothing to any dot.
  const float* fitted(VectorView v, std::vector<float>& scratch) const;

  size_t dim_;
  std::vector<float> by_component_;  // dim × 256: component t of centroid q at [t × 256 + q]
  std::vector<float> scale_;         // 256: 1 / |c_q|; 0 when short or non-finite
  std::vector<float> shortness_;     // 256: 1 when |c_q| < 1e-10
  std::vector<float> penalty_;       // 256: -inf when c_q has a non-finite component
};

// The float Euclidean length, summed in index order.
float euclidean_length(VectorView v);

}  // namespace tamix
