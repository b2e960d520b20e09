// IVF k-means training time on 100,000 x 768 synthetic vectors (1,000 Gaussian centres of
// sd 1, noise sd 1.5, seed 42), or on the vectors of a raw float file: the 10,000-vector
// sample, nlist 100, 10 and 20 iterations (tolerance 0, so every run does them all), on one
// worker and on all (or only on the pool RAYON_NUM_THREADS sets). Wall time, and with one
// worker also the thread's CPU time, which other load on the machine disturbs less.
// Usage: [RAYON_NUM_THREADS=n] ivf_train_bench [dir [data.f32 dimension]]
//   dir: where the store lives (default: a directory under /tmp), reused between runs;
//   data.f32: vectors of `dimension` floats back to back, loaded when the store is empty.
// The store's vectors.bin holds the data after a 24-byte header, for a side-by-side run of
// another library on the same sample.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/pool.h"
#include "index/ivf/ivf_training.h"
#include "storage/flat_storage.h"

namespace {

namespace bench = tamix::bench;

constexpr uint64_t kCount = 100'000;
constexpr uint64_t kSyntheticDim = 768;
constexpr int kRuns = 5;

void run(const tamix::FlatStorage& store, uint64_t iterations) {
  const size_t workers = tamix::pool::threads();
  tamix::IvfConfig config;
  config.max_iterations = iterations;
  config.tolerance = 0.0f;
  std::vector<double> times, cpu_times;
  for (int r = 0; r < kRuns; ++r) {
    bench::QuietStdout quiet;
    const auto t0 = bench::Clock::now();
    const double cpu0 = bench::cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const tamix::IvfSample sample = tamix::draw_sample(store);
    auto trained = tamix::run_kmeans(sample, config);
    cpu_times.push_back(1e3 * (bench::cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0));
    times.push_back(1e3 * bench::seconds_since(t0));
    if (!trained || trained->count() != config.nlist) std::abort();
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu_times.begin(), cpu_times.end());
  std::fprintf(stderr, "%2zu worker(s), %2llu iterations: median %8.1f ms  min %8.1f ms", workers,
               (unsigned long long)iterations, times[times.size() / 2], times[0]);
  if (workers == 1) std::fprintf(stderr, "  cpu min %8.1f ms", cpu_times[0]);
  std::fprintf(stderr, "\n");
}

// The pool takes its size once, from the environment: one worker runs in a child process.
void run_one_worker_first(char** argv) {
  if (std::getenv("RAYON_NUM_THREADS") != nullptr) return;
  const pid_t child = fork();
  if (child == 0) {
    setenv("RAYON_NUM_THREADS", "1", 1);
    execv("/proc/self/exe", argv);
    std::_Exit(127);
  }
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  run_one_worker_first(argv);
  const std::string dir =
      argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "tamix_ivf_bench").string();
  const std::string data = argc > 3 ? argv[2] : "";
  const uint64_t dim = argc > 3 ? std::stoull(argv[3]) : kSyntheticDim;
  auto store = bench::load_or_build(dir, data, dim, kCount, stderr);
  std::fprintf(stderr, "%llu vectors, dimension %llu, sample %llu, nlist 100, pool of %zu\n",
               (unsigned long long)store->count(), (unsigned long long)store->dimension(),
               (unsigned long long)tamix::kIvfTrainingSample, tamix::pool::threads());
  for (uint64_t iterations : {10, 20}) run(*store, iterations);
  return 0;
}
