#include "index/ivf/ivf_training.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "index/index_test_util.h"
#include "index/ivf/kmeans_update.h"

namespace tamix {
namespace {

using testing::Vectors;

class IvfTrainingTest : public ::testing::Test {
 protected:
  // Trains `centroids` on the store (none when null); returns what was printed.
  std::string Train(FlatStorage* store, const IvfConfig& config, IvfCentroids& centroids) {
    ::testing::internal::CaptureStdout();
    Status s = train_ivf(store, config, centroids,
                         [&](const FlatStorage&, uint64_t n) { populated_.push_back(n); });
    EXPECT_TRUE(s.ok());
    return ::testing::internal::GetCapturedStdout();
  }

  testing::TempDir tmp_;
  std::vector<uint64_t> populated_;
};

TEST_F(IvfTrainingTest, IdenticalVectorsConvergeInOneIteration) {
  const std::vector<float> v{0.5f, -1.0f, 2.0f, 0.25f};
  auto store = testing::StoreWith(tmp_, 4, Vectors(5, v));
  IvfCentroids centroids;
  EXPECT_EQ(Train(store.get(), IvfConfig{}, centroids),
            "IVF: Training 100 centroids on 5 vectors...\n"
            "  -> Iteration 1: diff = 0.0000\n"
            "  -> Converged.\n"
            "IVF: Populating partitions...\n"
            "IVF: Training complete.\n");
  ASSERT_EQ(centroids.count(), 100u);
  for (uint64_t j = 0; j < 100; ++j) {
    EXPECT_EQ(std::vector<float>(centroids.row(j).begin(), centroids.row(j).end()), v);
  }
  EXPECT_EQ(populated_, std::vector<uint64_t>{5});
}

TEST_F(IvfTrainingTest, NothingToFitPrintsOnlyTheClosingLines) {
  const std::string closing = "IVF: Populating partitions...\nIVF: Training complete.\n";
  const IvfCentroids earlier(1, 2, {1.0f, 2.0f});

  IvfCentroids centroids = earlier;
  EXPECT_EQ(Train(nullptr, IvfConfig{}, centroids), closing);
  EXPECT_TRUE(populated_.empty());

  auto empty = testing::StoreWith(tmp_, 2, {});
  EXPECT_EQ(Train(empty.get(), IvfConfig{}, centroids), closing);
  EXPECT_EQ(centroids.generation(), earlier.generation());
  EXPECT_EQ(populated_, std::vector<uint64_t>{0});

  // No lists: nothing is fitted and an untrained index stays so.
  testing::TempDir other;
  auto three = testing::StoreWith(other, 2, {{1, 2}, {3, 4}, {5, 6}});
  IvfCentroids untrained;
  EXPECT_EQ(Train(three.get(), IvfConfig::configured(0, 1), untrained), closing);
  EXPECT_TRUE(untrained.empty());
}

TEST_F(IvfTrainingTest, FewerSamplesThanListsReseedsFromTheSample) {
  const Vectors sample{{10, 0}, {0, 10}, {-10, -10}};
  auto store = testing::StoreWith(tmp_, 2, sample);
  IvfCentroids centroids;
  const std::string out = Train(store.get(), IvfConfig::configured(8, 2), centroids);
  EXPECT_EQ(out.rfind("IVF: Training 8 centroids on 3 vectors...\n  -> Iteration 1: diff = ", 0),
            0u);
  ASSERT_EQ(centroids.count(), 8u);
  for (uint64_t j = 0; j < 8; ++j) {
    for (float x : centroids.row(j)) EXPECT_TRUE(x >= -10 && x <= 10) << x;
  }
}

TEST_F(IvfTrainingTest, TrainsOnTheFirst10000SlotsOnly) {
  Vectors vectors(10000, {1.0f, 3.0f});
  vectors.insert(vectors.end(), 5, {1000.0f, 1000.0f});
  auto store = testing::StoreWith(tmp_, 2, vectors);
  IvfCentroids centroids;
  const std::string out = Train(store.get(), IvfConfig::configured(1, 1), centroids);
  EXPECT_EQ(out.rfind("IVF: Training 1 centroids on 10000 vectors...\n", 0), 0u);
  EXPECT_EQ(centroids.row(0)[0], 1.0f);
  EXPECT_EQ(centroids.row(0)[1], 3.0f);
  EXPECT_EQ(populated_, std::vector<uint64_t>{10005});
}

TEST(IvfIterationLineTest, FourDecimalsFromTheExactFloat) {
  EXPECT_EQ(iteration_line(1, 0.0f), "  -> Iteration 1: diff = 0.0000");
  EXPECT_EQ(iteration_line(2, 12.345678f), "  -> Iteration 2: diff = 12.3457");
  EXPECT_EQ(iteration_line(3, 104857.6f), "  -> Iteration 3: diff = 104857.6016");
  EXPECT_EQ(iteration_line(4, NAN), "  -> Iteration 4: diff = NaN");
  EXPECT_EQ(iteration_line(20, INFINITY), "  -> Iteration 20: diff = inf");
}

// The parallel sums must equal one pass over the sample in order.
TEST(LloydStepTest, MeansAreSummedInSampleOrder) {
  Vectors rows = testing::RandomVectors(3000, 37, 5, 1e4f);
  for (size_t i = 0; i < rows.size(); i += 7) rows[i][3] *= 1e-6f;  // order-sensitive sums
  const IvfSample sample = testing::SampleOf(rows);
  const size_t k = 9;
  const IvfCentroids current(k, 37, std::vector<float>(k * 37, 0.0f));
  std::vector<uint32_t> assignment(rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    assignment[i] = (i * 5 + i / 11) % (k - 1);  // k-1 is empty

  SampleDraw draw;
  const LloydStep step = lloyd_step(sample, current, assignment, draw);
  std::vector<float> sums(k * 37, 0.0f);
  std::vector<float> counts(k, 0.0f);
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t t = 0; t < 37; ++t) sums[assignment[i] * 37 + t] += rows[i][t];
    counts[assignment[i]] += 1;
  }
  for (size_t j = 0; j + 1 < k; ++j) {
    const float reciprocal = 1.0f / counts[j];
    for (size_t t = 0; t < 37; ++t) {
      ASSERT_EQ(step.centroids.row(j)[t], sums[j * 37 + t] * reciprocal) << j << " " << t;
    }
  }
  // The empty cluster took a sample row whole.
  const std::vector<float> reseeded(step.centroids.row(k - 1).begin(),
                                    step.centroids.row(k - 1).end());
  EXPECT_NE(std::find(rows.begin(), rows.end(), reseeded), rows.end());
}

}  // namespace
}  // namespace tamix
