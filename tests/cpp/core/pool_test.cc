#include "core/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace tamix {
namespace {

TEST(PoolTest, ThreadCountFromEnvironment) {
  EXPECT_EQ(pool::threads_from_env(nullptr, 8), 8u);
  EXPECT_EQ(pool::threads_from_env("", 8), 8u);
  EXPECT_EQ(pool::threads_from_env("0", 8), 8u);
  EXPECT_EQ(pool::threads_from_env("abc", 8), 8u);
  EXPECT_EQ(pool::threads_from_env("3x", 8), 8u);
  EXPECT_EQ(pool::threads_from_env("-2", 8), 8u);
  EXPECT_EQ(pool::threads_from_env("3", 8), 3u);
  EXPECT_EQ(pool::threads_from_env("64", 8), 64u);
  EXPECT_EQ(pool::threads_from_env(nullptr, 0), 1u);
}

TEST(PoolTest, ThreadCountIsCapped) {
  EXPECT_EQ(pool::threads_from_env("256", 8), 256u);
  EXPECT_EQ(pool::threads_from_env("257", 8), 256u);
  EXPECT_EQ(pool::threads_from_env("100000000", 8), 256u);
  EXPECT_EQ(pool::threads_from_env("99999999999999999999999", 8), 256u);
  EXPECT_EQ(pool::threads_from_env("700", 200), 700u);
  EXPECT_EQ(pool::threads_from_env("900", 200), 800u);
}

// The most map items seen running at once; each waits until n run or 10 s have passed.
size_t PeakConcurrency(size_t n) {
  std::atomic<size_t> running{0}, peak{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  pool::map<int>(2 * n, [&](size_t) {
    size_t now = ++running, seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    while (peak.load() < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    --running;
    return 0;
  });
  return peak.load();
}

TEST(PoolTest, RunsMoreThreadsThanProcessorsWhenAsked) {
  // In a fresh process, since the size is fixed on first use.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const size_t n = 2 * std::max(1u, std::thread::hardware_concurrency());
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", std::to_string(n).c_str(), 1);
        const bool ok = pool::threads() == n && PeakConcurrency(n) == n;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(PoolTest, MapKeepsItemOrder) {
  auto out = pool::map<size_t>(10000, [](size_t i) { return i * 3; });
  ASSERT_EQ(out.size(), 10000u);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i * 3);
  EXPECT_GE(pool::threads(), 1u);
}

TEST(PoolTest, TryMapReturnsTheFailure) {
  auto out = pool::try_map<int>(1000, [](size_t i) -> Result<int> {
    if (i == 617) return Error::Message("item " + std::to_string(i));
    return 0;
  });
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), "item 617");
}

TEST(PoolTest, TryMapLowestFailedItemWins) {
  if (pool::threads() < 2) GTEST_SKIP() << "needs two workers";
  // Both items wait until both have started, so both fail; the later one finishes first.
  std::atomic<int> started{0};
  auto out = pool::try_map<int>(2, [&](size_t i) -> Result<int> {
    started.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Error::Message("item " + std::to_string(i));
  });
  if (started.load() < 2) GTEST_SKIP() << "the pool ran the items one after another";
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), "item 0");
}

}  // namespace
}  // namespace tamix
