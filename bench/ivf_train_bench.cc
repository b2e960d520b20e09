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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/pool.h"
#include "index/ivf_training.h"
#include "storage/flat_storage.h"

namespace {

constexpr uint64_t kCount = 100'000;
constexpr uint64_t kSyntheticDim = 768;
constexpr int kCentres = 1000;
constexpr int kRuns = 5;

void add_all(tamix::FlatStorage& store, const std::vector<std::vector<float>>& batch) {
  std::vector<tamix::VectorView> views(batch.begin(), batch.end());
  if (!store.add(views).ok()) std::abort();
}

void fill_synthetic(tamix::FlatStorage& store) {
  const uint64_t dim = store.dimension();
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<float> centres(kCentres * dim);
  for (auto& x : centres) x = gauss(rng);
  std::uniform_int_distribution<int> pick(0, kCentres - 1);
  while (store.count() < kCount) {
    std::vector<std::vector<float>> batch;
    for (int i = 0; i < 1000 && store.count() + batch.size() < kCount; ++i) {
      const float* c = centres.data() + pick(rng) * dim;
      std::vector<float> v(dim);
      for (uint64_t t = 0; t < dim; ++t) v[t] = c[t] + 1.5f * gauss(rng);
      batch.push_back(std::move(v));
    }
    add_all(store, batch);
  }
}

void fill_from(tamix::FlatStorage& store, const std::string& data) {
  FILE* in = std::fopen(data.c_str(), "rb");
  if (in == nullptr) std::abort();
  std::vector<std::vector<float>> batch;
  std::vector<float> v(store.dimension());
  while (std::fread(v.data(), sizeof(float), v.size(), in) == v.size()) {
    batch.push_back(v);
    if (batch.size() == 1000) add_all(store, std::exchange(batch, {}));
  }
  add_all(store, batch);
  std::fclose(in);
}

std::unique_ptr<tamix::FlatStorage> build_or_reuse(const std::string& dir, const std::string& data,
                                                   uint64_t dim) {
  std::filesystem::create_directories(dir);
  auto opened = tamix::FlatStorage::open(dir, dim);
  if (!opened.ok()) {
    std::fprintf(stderr, "%s: %s\n", dir.c_str(), opened.error().message().c_str());
    std::exit(1);
  }
  auto store = std::move(opened).value();
  if (store->count() > 0) return store;
  std::fprintf(stderr, "building the store in %s\n", dir.c_str());
  if (data.empty()) {
    fill_synthetic(*store);
  } else {
    fill_from(*store, data);
  }
  if (!store->flush().ok()) std::abort();
  return store;
}

double thread_cpu_ms() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The progress lines go to standard output; the timings to standard error.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), STDOUT_FILENO);
    std::fclose(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

void run(const tamix::FlatStorage& store, uint64_t iterations) {
  const size_t workers = tamix::pool::threads();
  tamix::IvfConfig config;
  config.max_iterations = iterations;
  config.tolerance = 0.0f;
  std::vector<double> times, cpu_times;
  for (int r = 0; r < kRuns; ++r) {
    QuietStdout quiet;
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = thread_cpu_ms();
    const tamix::IvfSample sample = tamix::draw_sample(store);
    auto trained = tamix::run_kmeans(sample, config);
    cpu_times.push_back(thread_cpu_ms() - cpu0);
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    if (!trained || trained->count() != config.nlist) std::abort();
    times.push_back(took.count());
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
  auto store = build_or_reuse(dir, data, dim);
  std::fprintf(stderr, "%llu vectors, dimension %llu, sample %llu, nlist 100, pool of %zu\n",
               (unsigned long long)store->count(), (unsigned long long)store->dimension(),
               (unsigned long long)tamix::kIvfTrainingSample, tamix::pool::threads());
  for (uint64_t iterations : {10, 20}) run(*store, iterations);
  return 0;
}
