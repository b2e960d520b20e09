// IvfCentroids: the centroid table of an inverted-file index, empty while the index is
// untrained. A plain value; readers may share it while nothing replaces it.
#pragma once

#include <cstdint>
#include <vector>

#include "core/types.h"

namespace tamix {

class IvfCentroids {
 public:
  IvfCentroids() = default;  // untrained
  // `values` holds `count` centroids back to back, `dimension` floats each, centroid 0 first.
  IvfCentroids(uint64_t count, uint64_t dimension, std::vector<float> values);

  bool empty() const { return count_ == 0; }
  uint64_t count() const { return count_; }
  uint64_t dimension() const { return dimension_; }
  VectorView row(uint64_t j) const { return {values_.data() + j * dimension_, dimension_}; }
  const std::vector<float>& values() const { return values_; }

  // Equal for two tables of this process only when their contents are equal: 0 for every
  // empty table, a number never used before for each table built from values. Lets a
  // writer skip a file whose content it has already written.
  uint64_t generation() const { return generation_; }

 private:
  uint64_t count_ = 0;
  uint64_t dimension_ = 0;
  std::vector<float> values_;  // count_ × dimension_, row-major
  uint64_t generation_ = 0;
};

}  // namespace tamix
