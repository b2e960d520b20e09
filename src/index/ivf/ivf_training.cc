#include "index/ivf/ivf_training.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/console.h"
#include "core/pool.h"
#include "index/ivf/ivf_assign.h"
#include "index/ivf/kmeans_update.h"

namespace tamix {
namespace {

// Seeds: k sample rows drawn independently, so one row can seed several centroids.
IvfCentroids seed(const IvfSample& s, uint64_t k, SampleDraw& draw) {
  std::vector<float> values(k * s.dimension);
  for (uint64_t j = 0; j < k; ++j) {
    std::memcpy(values.data() + j * s.dimension, s.rows[draw(s.size())],
                s.dimension * sizeof(float));
  }
  return IvfCentroids(k, s.dimension, std::move(values));
}

// Rows per worker that the assignment and the sums handle in one go: the sums read them
// while the assignment has just brought them into the cache.
constexpr size_t kChunkRows = 96;

// One Lloyd iteration: the assignment to `centroids`, then the update.
LloydStep iterate(const IvfSample& s, const IvfCentroids& centroids, SampleDraw& draw,
                  std::vector<uint32_t>& assignment) {
  const ClusterAssigner assigner(centroids);
  ClusterSums sums(centroids.count(), s.dimension);
  const size_t chunk = kChunkRows * pool::threads();
  for (size_t first = 0; first < s.size(); first += chunk) {
    const size_t last = std::min(s.size(), first + chunk);
    assigner.assign(s, first, last, assignment.data());
    sums.add(s, assignment.data(), first, last);
  }
  return std::move(sums).finish(s, centroids, draw);
}

}  // namespace

std::string iteration_line(uint64_t it, float diff) {
  std::string line = "  -> Iteration " + std::to_string(it) + ": diff = ";
  if (std::isnan(diff)) return line + "NaN";
  if (std::isinf(diff)) return line + (diff > 0 ? "inf" : "-inf");
  char text[64];  // FLT_MAX takes 39 digits before the point
  std::snprintf(text, sizeof text, "%.4f", static_cast<double>(diff));
  return line + text;
}

std::optional<IvfCentroids> run_kmeans(const IvfSample& sample, const IvfConfig& config) {
  const uint64_t k = config.nlist;
  assert(k <= kMaxIvfLists);  // cluster indices are 32-bit
  if (sample.empty() || k == 0) return std::nullopt;
  console::out_line("IVF: Training " + std::to_string(k) + " centroids on " +
                    std::to_string(sample.size()) + " vectors...");
  SampleDraw draw;
  IvfCentroids centroids = seed(sample, k, draw);
  std::vector<uint32_t> assignment(sample.size());
  for (uint64_t it = 1; it <= config.max_iterations; ++it) {
    LloydStep step = iterate(sample, centroids, draw, assignment);
    centroids = std::move(step.centroids);
    console::out_line(iteration_line(it, step.diff));
    if (step.diff < config.tolerance) {
      console::out_line("  -> Converged.");
      break;
    }
  }
  return centroids;
}

Status train_ivf(FlatStorage* store, const IvfConfig& config, IvfCentroids& centroids,
                 const IvfPopulate& populate) {
  TAMIX_TRY(check_nlist(config.nlist));
  uint64_t n = 0;
  IvfSample sample;
  if (store != nullptr) {
    TAMIX_TRY(store->flush());
    n = store->count();
    sample = draw_sample(*store);
  }
  if (std::optional<IvfCentroids> trained = run_kmeans(sample, config)) {
    centroids = std::move(*trained);
  }
  console::out_line("IVF: Populating partitions...");
  if (store != nullptr) populate(*store, n);
  console::out_line("IVF: Training complete.");
  return Ok();
}

}  // namespace tamix
