#include "quant/kmeans.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/pool.h"
#include "quant/codebook.h"

namespace tamix {
namespace {

constexpr size_t K = quant::kCentroids;
constexpr size_t kBlock = 256;          // points per unit of parallel work and of the roulette
constexpr float kEmptyWeight = 1e-10f;  // total weight below which seeding picks uniformly
constexpr float kConverged = 1e-6f;     // largest centroid movement of a final iteration

// The points component-major (dim rows of n), so that the distances of all points to one
// new centroid vectorise across points.
std::vector<float> by_component(std::span<const float> points, size_t n, size_t dim) {
  std::vector<float> out(n * dim);
  for (size_t j = 0; j < n; ++j)
    for (size_t t = 0; t < dim; ++t) out[t * n + j] = points[j * dim + t];
  return out;
}

// k-means++ weights: for every point the squared distance to its nearest chosen centroid,
// kept incrementally, with a sum per block of kBlock points for the roulette.
class Weights {
 public:
  Weights(std::span<const float> points, size_t n, size_t dim)
      : columns_(by_component(points, n, dim)),
        n_(n),
        dim_(dim),
        w_(n, std::numeric_limits<float>::infinity()),
        block_sums_((n + kBlock - 1) / kBlock) {}

  // Takes the distances to a newly chosen centroid into account.
  void add_centroid(const float* c) {
    pool::parallel_for(block_sums_.size(), [&](size_t first, size_t last) {
      for (size_t b = first; b < last; ++b) update_block(c, b);
    });
  }

  // The point a uniform draw u in [0, 1) selects, each point with probability w_j / Σw;
  // a uniform pick when the weights sum to (almost) nothing or to no finite number.
  size_t draw(float u, std::mt19937_64& rng) const {
    float total = 0;
    for (float s : block_sums_) total += s;
    if (!(total > kEmptyWeight) || !std::isfinite(total)) return uniform(rng);
    float r = total * u;
    for (size_t b = 0; b < block_sums_.size(); ++b) {
      if (r > block_sums_[b]) {
        r -= block_sums_[b];
        continue;
      }
      const size_t end = std::min(n_, (b + 1) * kBlock);
      for (size_t j = b * kBlock; j < end; ++j) {
        r -= w_[j];
        if (r <= 0) return j;
      }
    }
    // Rounding left r above 0 after the last weight: take the last point with weight.
    for (size_t j = n_; j-- > 0;) {
      if (w_[j] > 0) return j;
    }
    return uniform(rng);
  }

  size_t uniform(std::mt19937_64& rng) const {
    return std::uniform_int_distribution<size_t>(0, n_ - 1)(rng);
  }

 private:
  void update_block(const float* c, size_t b) {
    const size_t begin = b * kBlock, len = std::min(n_, begin + kBlock) - begin;
    float d[kBlock] = {};
    for (size_t t = 0; t < dim_; ++t) {
      const float* x = columns_.data() + t * n_ + begin;
      const float ct = c[t];
      for (size_t j = 0; j < len; ++j) d[j] += (x[j] - ct) * (x[j] - ct);
    }
    float* w = w_.data() + begin;
    float part[8] = {};  // eight running sums: one long chain would dominate the pass
    size_t j = 0;
    for (; j + 8 <= len; j += 8) {
      for (size_t l = 0; l < 8; ++l) {
        if (d[j + l] < w[j + l]) w[j + l] = d[j + l];  // a NaN distance never replaces
        part[l] += w[j + l];
      }
    }
    for (; j < len; ++j) {
      if (d[j] < w[j]) w[j] = d[j];
      part[0] += w[j];
    }
    block_sums_[b] =
        ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
  }

  std::vector<float> columns_;
  size_t n_, dim_;
  std::vector<float> w_;
  std::vector<float> block_sums_;
};

std::vector<float> seed(std::span<const float> points, size_t n, size_t dim, std::mt19937_64& rng) {
  std::vector<float> centroids(K * dim);
  Weights weights(points, n, dim);
  size_t chosen = weights.uniform(rng);
  for (size_t q = 0; q < K; ++q) {
    if (q > 0) {
      const float u = static_cast<float>(static_cast<uint32_t>(rng() >> 32) >> 8) * 0x1p-24f;
      chosen = weights.draw(u, rng);
    }
    std::memcpy(&centroids[q * dim], &points[chosen * dim], dim * sizeof(float));
    if (q + 1 < K) weights.add_centroid(&centroids[q * dim]);
  }
  return centroids;
}

std::vector<uint8_t> assign(std::span<const float> points, size_t n, size_t dim,
                            const Codebook& codebook) {
  std::vector<uint8_t> assigned(n);
  pool::parallel_for((n + kBlock - 1) / kBlock, [&](size_t first, size_t last) {
    for (size_t j = first * kBlock; j < std::min(n, last * kBlock); ++j) {
      assigned[j] = codebook.nearest(points.subspan(j * dim, dim));
    }
  });
  return assigned;
}

// One Lloyd update; returns whether any centroid moved more than kConverged.
bool update(std::span<const float> points, size_t n, size_t dim,
            const std::vector<uint8_t>& assigned, std::vector<float>& centroids,
            std::mt19937_64& rng) {
  std::vector<float> sums(K * dim, 0.0f);
  std::vector<uint64_t> counts(K, 0);
  for (size_t j = 0; j < n; ++j) {
    float* s = &sums[assigned[j] * dim];
    for (size_t t = 0; t < dim; ++t) s[t] += points[j * dim + t];
    ++counts[assigned[j]];
  }
  bool moved = false;
  for (size_t q = 0; q < K; ++q) {
    float* c = &sums[q * dim];
    if (counts[q] == 0) {
      const size_t r = static_cast<size_t>(rng() % n);
      std::memcpy(c, &points[r * dim], dim * sizeof(float));
    } else {
      const float count = static_cast<float>(counts[q]);
      for (size_t t = 0; t < dim; ++t) c[t] /= count;
      const float length = euclidean_length({c, dim});
      if (length > 1e-10f) {
        for (size_t t = 0; t < dim; ++t) c[t] /= length;
      }
    }
    float movement = 0;
    for (size_t t = 0; t < dim; ++t) {
      const float diff = centroids[q * dim + t] - c[t];
      movement += diff * diff;
    }
    if (std::sqrt(movement) > kConverged) moved = true;
  }
  centroids.swap(sums);
  return moved;
}

}  // namespace

Result<std::vector<float>> kmeans(std::span<const float> points, size_t n, size_t dim,
                                  std::mt19937_64& rng) {
  if (n == 0) return Error::Message("Cannot train on empty dataset");
  std::vector<float> centroids = seed(points, n, dim, rng);
  for (int iteration = 0; iteration < kKmeansMaxIterations; ++iteration) {
    const std::vector<uint8_t> assigned = assign(points, n, dim, Codebook(centroids, dim));
    if (!update(points, n, dim, assigned, centroids, rng)) break;
  }
  return centroids;
}

}  // namespace tamix
