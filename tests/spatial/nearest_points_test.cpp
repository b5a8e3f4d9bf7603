#include "spatial/nearest_points.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace wendfit {
namespace {

// The lowest index among the nearest points, by a scan in the index's own
// arithmetic (double from the float positions).
int bruteNearest(const std::vector<float>& positions, const float q[3], bool skipCoincident, double* bestSq) {
  int best = -1;
  *bestSq = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < positions.size() / 3; ++i) {
    const double dx = static_cast<double>(q[0]) - positions[3 * i];
    const double dy = static_cast<double>(q[1]) - positions[3 * i + 1];
    const double dz = static_cast<double>(q[2]) - positions[3 * i + 2];
    const double distSq = dx * dx + dy * dy + dz * dz;
    if (skipCoincident && distSq == 0.0) continue;
    if (distSq < *bestSq) {
      *bestSq = distSq;
      best = static_cast<int>(i);
    }
  }
  return best;
}

// Random clouds, clouds snapped to a coarse lattice (many duplicates and
// equally near points), points on one line and all at one position; queries
// at every point (with and without skipping it), at random places and far
// away.
TEST(NearestPoints, MatchesBruteForceOnRandomDuplicateAndDegenerateLayouts) {
  for (int seed = 0; seed < 40; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
    const int sizes[] = {0, 1, 2, 8, 9, 17, 100, 700};
    const int count = sizes[seed % 8];
    const int layout = (seed / 8) % 4;
    std::vector<float> positions(3 * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      const float t = coord(rng);
      for (int k = 0; k < 3; ++k) {
        float x = coord(rng);
        if (layout == 1) x = std::round(x * 2.0f) * 0.5f;
        if (layout == 2) x = k == 0 ? t : 0.25f;
        if (layout == 3) x = 0.5f;
        positions[3 * i + k] = x;
      }
    }
    NearestPoints index(positions.data(), count);
    ASSERT_EQ(index.size(), count);
    std::vector<float> queries(positions);
    for (int i = 0; i < 200; ++i) {
      for (int k = 0; k < 3; ++k) queries.push_back(1.5f * coord(rng));
    }
    // Far off the points, where the subtrees' boxes do the pruning.
    for (int i = 0; i < 50; ++i) {
      for (int k = 0; k < 3; ++k) queries.push_back(40.0f * coord(rng));
    }
    for (size_t q = 0; q < queries.size() / 3; ++q) {
      for (bool skip : {false, true}) {
        double expectedSq = 0.0;
        double foundSq = 0.0;
        const int expected = bruteNearest(positions, &queries[3 * q], skip, &expectedSq);
        const int found = index.nearest(&queries[3 * q], &foundSq, skip);
        ASSERT_EQ(found, expected) << "seed " << seed << " query " << q << " skip " << skip << " " << foundSq << " " << expectedSq;
        ASSERT_EQ(foundSq, expectedSq) << "seed " << seed << " query " << q;
      }
    }
    std::vector<double> distances = nearestDistances(index, queries.data(), static_cast<long>(queries.size() / 3));
    for (size_t q = 0; q < distances.size(); ++q) {
      double expectedSq = 0.0;
      bruteNearest(positions, &queries[3 * q], false, &expectedSq);
      ASSERT_EQ(distances[q], std::sqrt(expectedSq));
    }
  }
}

// A 10 x 10 x 10 lattice of spacing 0.5 with every point doubled: the nearest
// distinct point is 0.5 away, however the sample is taken.
TEST(NearestPoints, MedianSpacingIgnoresDuplicatesAndSampling) {
  std::vector<float> positions;
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = 0; i < 1000; ++i) {
      positions.insert(positions.end(), {0.5f * (i % 10), 0.5f * (i / 10 % 10), 0.5f * (i / 100)});
    }
  }
  NearestPoints index(positions.data(), 2000);
  EXPECT_EQ(medianSpacing(index), 0.5);
  EXPECT_EQ(medianSpacing(index, 50), 0.5);
  const float one[3] = {1.0f, 2.0f, 3.0f};
  EXPECT_EQ(medianSpacing(NearestPoints(one, 1)), 0.0);
}

// Large enough for the build's halves to run as tasks: the tree answers the
// same on one and on two threads, and as the scan does.
TEST(NearestPoints, LargeSetBuiltOnSeveralThreadsMatchesBruteForce) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  const int count = 70000;
  std::vector<float> positions(3 * static_cast<size_t>(count));
  for (float& x : positions) x = std::round(coord(rng) * 64.0f) / 64.0f;  // with duplicates
  const int saved = omp_get_max_threads();
  omp_set_num_threads(2);
  const NearestPoints parallel(positions.data(), count);
  omp_set_num_threads(1);
  const NearestPoints serial(positions.data(), count);
  omp_set_num_threads(saved);
  for (int q = 0; q < 300; ++q) {
    const float* query = &positions[3 * static_cast<size_t>(q) * 200];
    double expectedSq = 0.0;
    const int expected = bruteNearest(positions, query, true, &expectedSq);
    for (const NearestPoints* index : {&parallel, &serial}) {
      double foundSq = 0.0;
      ASSERT_EQ(index->nearest(query, &foundSq, true), expected) << "query " << q;
      ASSERT_EQ(foundSq, expectedSq);
    }
  }
  EXPECT_EQ(medianSpacing(parallel), medianSpacing(serial));
}

}  // namespace
}  // namespace wendfit
