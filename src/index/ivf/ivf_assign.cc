// Most of the assignment's work is in dot products: a row's distance to every centroid is
// bounded from its norms and a fast dot product, and only the centroids those bounds cannot
// rule out get the exact distance. The bounds hold for any summation order of either kernel,
// so the chosen centroid is the one the exact rule chooses, ties and all.
#include "index/ivf/ivf_assign.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/distance.h"
#include "core/pool.h"
#include "index/ivf/kmeans_kernels.h"

namespace tamix {
namespace {

using kmeans::Kernels;

// Beyond this squared norm the single-precision sums might overflow; such rows and centroids
// are compared exactly.
constexpr double kSafeSquaredNorm = 0x1p100;

// How far the exact float distance s can lie from a = |x|² + |c|² - 2 x·c, with x·c from the
// dot kernel and a formed in single precision: |s - a| <= rel × (|x|² + |c|²) + abs. Either
// kernel's sum of dim terms errs by at most γ(dim + 11) relative to its sum of magnitudes
// (γ(n) = nu / (1 - nu), u the unit roundoff), the true distance is at most 2 (|x|² + |c|²),
// and rounding s to float and forming a and its bounds add some 20 u: rel = 4 γ(2 dim + 32)
// covers all with room to spare. The absolute part covers underflow. False when the bounds
// would be too loose to rule anything out.
bool slack_for(uint64_t dim, float& rel, float& abs) {
  const double nu = static_cast<double>(2 * dim + 32) * 0x1p-24;
  if (nu > 0.01) return false;
  rel = static_cast<float>(4 * nu / (1 - nu));
  abs = static_cast<float>((4 * dim + 64) * 0x1p-140);
  return true;
}

float bounded_norm(double squared) {
  return squared <= kSafeSquaredNorm ? static_cast<float>(squared) : INFINITY;  // NaN too
}

float exact_distance(const float* row, const IvfCentroids& c, size_t j) {
  return static_cast<float>(l2sq_distance(row, c.row(j).data(), c.dimension()));
}

}  // namespace

ClusterAssigner::ClusterAssigner(const IvfCentroids& c) : centroids_(c) {
  bounded_ = !c.empty() && slack_for(c.dimension(), rel_slack_, abs_slack_);
  if (!bounded_) return;
  const size_t k = c.count(), dim = c.dimension(), w = kmeans::kernels().tile;
  // Whole tiles, and for a remainder of at most half a tile a half tile: less padding.
  packed_count_ = k % w == 0 ? k : (k % w <= w / 2 ? k / w * w + w / 2 : (k / w + 1) * w);
  tiles_.assign(packed_count_ * dim, 0.0f);
  squared_norms_ = pool::map<float>(
      k, [&](size_t j) { return bounded_norm(squared_norm_of(c.row(j).data(), dim)); });
  pool::parallel_for((k + w - 1) / w, [&](size_t first, size_t last) {
    for (size_t g = first; g != last; ++g) {
      const size_t width = std::min(w, packed_count_ - g * w);
      float* tile = tiles_.data() + g * w * dim;
      for (size_t j = g * w; j < std::min(k, g * w + width); ++j) {
        const float* row = c.row(j).data();
        for (size_t t = 0; t < dim; ++t) tile[t * width + j - g * w] = row[t];
      }
    }
  });
}

// The exact rule over the centroids the bounds leave; `dots` holds x·c for every centroid.
// An unsafe centroid's infinite norm makes its upper bound infinite or NaN (never the least)
// and its lower bound NaN (always kept).
uint32_t ClusterAssigner::choose(const float* row, float row_norm, const float* dots,
                                 Scratch& scratch) const {
  const size_t n = kmeans::kernels().candidates(dots, squared_norms_.data(), centroids_.count(),
                                                row_norm, rel_slack_, abs_slack_,
                                                scratch.lower.data(), scratch.candidates.data());
  // A lone candidate is the centroid whose upper bound is the least: it wins outright.
  if (n == 1) return scratch.candidates[0];
  uint32_t best_index = 0;
  float best = FLT_MAX;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t j = scratch.candidates[i];
    const float dist = exact_distance(row, centroids_, j);
    if (dist < best) {
      best = dist;
      best_index = j;
    }
  }
  return best_index;
}

// Rows row0 + [first_block × R, last_block × R), below `end`, R = kernel.rows at a time.
void ClusterAssigner::assign_blocks(const IvfSample& s, size_t row0, size_t end, size_t first_block,
                                    size_t last_block, uint32_t* out) const {
  const Kernels& kernel = kmeans::kernels();
  const size_t stride = packed_count_, dim = centroids_.dimension();
  std::vector<float> dots(kernel.rows * stride);
  Scratch scratch{std::vector<float>(centroids_.count()),
                  std::vector<uint32_t>(centroids_.count())};
  for (size_t b = first_block; b != last_block; ++b) {
    const size_t first = row0 + b * kernel.rows, nrows = std::min(kernel.rows, end - first);
    for (size_t q = 0, width; q < packed_count_; q += width) {
      const size_t left = packed_count_ - q;
      width = left >= 2 * kernel.tile ? 2 * kernel.tile : std::min(left, kernel.tile);
      kernel.tile_dots(s.rows.data() + first, nrows, tiles_.data() + q * dim, width, dim,
                       dots.data() + q, stride);
    }
    for (size_t r = 0; r < nrows; ++r) {
      const size_t i = first + r;
      const double row_norm = s.squared_norms[i];
      out[i] = row_norm <= kSafeSquaredNorm ? choose(s.rows[i], static_cast<float>(row_norm),
                                                     dots.data() + r * stride, scratch)
                                            : nearest_centroid(s.rows[i], centroids_);
    }
  }
}

void ClusterAssigner::assign(const IvfSample& s, size_t first, size_t last, uint32_t* out) const {
  if (centroids_.empty()) {
    std::fill(out + first, out + last, 0u);
    return;
  }
  if (!bounded_) {
    pool::parallel_for(last - first, [&](size_t a, size_t b) {
      for (size_t i = first + a; i != first + b; ++i)
        out[i] = nearest_centroid(s.rows[i], centroids_);
    });
    return;
  }
  const size_t rows = kmeans::kernels().rows;
  const size_t blocks = (last - first + rows - 1) / rows;
  pool::parallel_for(blocks, [&](size_t a, size_t b) { assign_blocks(s, first, last, a, b, out); });
}

std::vector<uint32_t> assign_clusters(const IvfSample& s, const IvfCentroids& c) {
  std::vector<uint32_t> out(s.size(), 0);
  ClusterAssigner(c).assign(s, 0, s.size(), out.data());
  return out;
}

uint32_t nearest_centroid(const float* row, const IvfCentroids& c) {
  uint32_t best_index = 0;
  float best = FLT_MAX;
  for (size_t j = 0; j < c.count(); ++j) {
    const float dist = exact_distance(row, c, j);
    if (dist < best) {
      best = dist;
      best_index = static_cast<uint32_t>(j);
    }
  }
  return best_index;
}

}  // namespace tamix
