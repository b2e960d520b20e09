// Most of the assignment's work is in dot products: a row's distance to every centroid is
// bounded from its norms and a fast dot product, and only the centroids those bounds cannot
// rule out get the exact distance. The bounds hold for any summation order of either kernel,
// so the chosen centroid is the one the exact rule chooses, ties and all.
#include "index/ivf_assign.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <optional>

#include "core/distance.h"
#include "core/norm.h"
#include "core/pool.h"
#include "index/centroid_dots.h"

namespace tamix {
namespace {

using ivf_kernels::DotKernel;

// Beyond this squared norm the single-precision sums might overflow; such rows and centroids
// are compared exactly.
constexpr double kSafeSquaredNorm = 0x1p100;

// How far the exact float distance s can lie from a = |x|² + |c|² - 2 x·c, with x·c from the
// dot kernel and a formed in single precision: |s - a| <= rel × (|x|² + |c|²) + abs. Either
// kernel's sum of dim terms errs by at most γ(dim + 11) relative to its sum of magnitudes
// (γ(n) = nu / (1 - nu), u the unit roundoff), the true distance is at most 2 (|x|² + |c|²),
// and rounding s to float and forming a and its bounds add some 20 u: rel = 4 γ(2 dim + 32)
// covers all with room to spare. The absolute part covers underflow.
struct Slack {
  float rel;
  float abs;
};

std::optional<Slack> slack_for(uint64_t dim) {
  const double nu = static_cast<double>(2 * dim + 32) * 0x1p-24;
  if (nu > 0.01) return std::nullopt;  // bounds too loose to prune anything
  const double gamma = nu / (1 - nu);
  return Slack{static_cast<float>(4 * gamma), static_cast<float>((4 * dim + 64) * 0x1p-140)};
}

// Centroids as the dot kernel reads them: tiles of kernel.tile centroids, component-major
// within a tile, the last tile padded with zeros.
struct PackedCentroids {
  std::vector<float> tiles;          // tile_count × dim × kernel.tile
  std::vector<float> squared_norms;  // per centroid; +inf when not safe to bound
  size_t tile_count = 0;
};

float bounded_norm(double squared) {
  return squared <= kSafeSquaredNorm ? static_cast<float>(squared) : INFINITY;  // NaN too
}

PackedCentroids pack(const IvfCentroids& c, const DotKernel& kernel) {
  const size_t k = c.count(), dim = c.dimension(), w = kernel.tile;
  PackedCentroids p;
  p.tile_count = (k + w - 1) / w;
  p.tiles.assign(p.tile_count * dim * w, 0.0f);
  p.squared_norms =
      pool::map<float>(k, [&](size_t j) { return bounded_norm(squared_norm(c.row(j))); });
  pool::parallel_for(p.tile_count, [&](size_t first, size_t last) {
    for (size_t g = first; g != last; ++g) {
      float* tile = p.tiles.data() + g * dim * w;
      for (size_t j = g * w; j < std::min(k, (g + 1) * w); ++j) {
        const float* row = c.row(j).data();
        for (size_t t = 0; t < dim; ++t) tile[t * w + j % w] = row[t];
      }
    }
  });
  return p;
}

float exact_distance(const float* row, const IvfCentroids& c, size_t j) {
  return static_cast<float>(l2sq_distance(row, c.row(j).data(), c.dimension()));
}

// The least of values[0, n) that are not NaN (+inf when none); in independent lanes, so the
// comparisons do not wait on each other.
float smallest(const float* values, size_t n) {
  constexpr size_t kLanes = 8;
  float lane[kLanes];
  std::fill(lane, lane + kLanes, INFINITY);
  size_t j = 0;
  for (; j + kLanes <= n; j += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) lane[l] = values[j + l] < lane[l] ? values[j + l] : lane[l];
  }
  for (; j < n; ++j) lane[0] = values[j] < lane[0] ? values[j] : lane[0];
  float least = lane[0];
  for (size_t l = 1; l < kLanes; ++l) least = lane[l] < least ? lane[l] : least;
  return least;
}

// The exact rule over the centroids the bounds leave; `dots` holds x·c for every centroid,
// `lower` and `upper` room for one bound each. An unsafe centroid's infinite norm makes its
// upper bound infinite or NaN (never the ceiling) and its lower bound NaN (always kept).
uint32_t choose(const float* row, float row_norm, const float* dots, const IvfCentroids& c,
                const PackedCentroids& p, const Slack& slack, float* lower, float* upper,
                std::vector<uint32_t>& candidates) {
  const size_t k = c.count();
  for (size_t j = 0; j < k; ++j) {
    const float norms = row_norm + p.squared_norms[j];
    const float approx = norms - 2.0f * dots[j];
    const float margin = slack.rel * norms + slack.abs;
    upper[j] = approx + margin;
    lower[j] = approx - margin;
  }
  const float ceiling = smallest(upper, k);  // the winner's distance is at most this
  candidates.clear();
  for (size_t j = 0; j < k; ++j) {
    if (!(lower[j] > ceiling)) candidates.push_back(static_cast<uint32_t>(j));
  }
  // A lone candidate is the centroid whose upper bound is the ceiling: it wins outright.
  if (candidates.size() == 1) return candidates[0];
  uint32_t best_index = 0;
  float best = FLT_MAX;
  for (uint32_t j : candidates) {
    const float dist = exact_distance(row, c, j);
    if (dist < best) {
      best = dist;
      best_index = j;
    }
  }
  return best_index;
}

// Rows [first × R, last × R) of the sample, R = kernel.rows at a time.
void assign_blocks(const IvfSample& s, const IvfCentroids& c, const PackedCentroids& p,
                   const DotKernel& kernel, const Slack& slack, size_t first, size_t last,
                   uint32_t* out) {
  const size_t w = kernel.tile, stride = p.tile_count * w, dim = c.dimension();
  std::vector<float> dots(kernel.rows * stride), lower(c.count()), upper(c.count());
  std::vector<uint32_t> candidates;
  candidates.reserve(c.count());
  for (size_t b = first; b != last; ++b) {
    const size_t row0 = b * kernel.rows, nrows = std::min(kernel.rows, s.size() - row0);
    for (size_t g = 0; g < p.tile_count; g += 2) {
      kernel.tile_dots(s.rows.data() + row0, nrows, p.tiles.data() + g * dim * w,
                       std::min<size_t>(2, p.tile_count - g), dim, dots.data() + g * w, stride);
    }
    for (size_t r = 0; r < nrows; ++r) {
      const size_t i = row0 + r;
      const double row_norm = s.squared_norms[i];
      out[i] = row_norm <= kSafeSquaredNorm
                   ? choose(s.rows[i], static_cast<float>(row_norm), dots.data() + r * stride, c, p,
                            slack, lower.data(), upper.data(), candidates)
                   : nearest_centroid(s.rows[i], c);
    }
  }
}

}  // namespace

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

std::vector<uint32_t> assign_clusters(const IvfSample& s, const IvfCentroids& c) {
  std::vector<uint32_t> out(s.size(), 0);
  if (c.empty()) return out;
  const std::optional<Slack> slack = slack_for(c.dimension());
  if (!slack) {
    pool::parallel_for(s.size(), [&](size_t first, size_t last) {
      for (size_t i = first; i != last; ++i) out[i] = nearest_centroid(s.rows[i], c);
    });
    return out;
  }
  const DotKernel& kernel = ivf_kernels::dot_kernel();
  const PackedCentroids packed = pack(c, kernel);
  const size_t blocks = (s.size() + kernel.rows - 1) / kernel.rows;
  pool::parallel_for(blocks, [&](size_t first, size_t last) {
    assign_blocks(s, c, packed, kernel, *slack, first, last, out.data());
  });
  return out;
}

}  // namespace tamix
