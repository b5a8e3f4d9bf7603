#include "spatial/point_octree.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "core/error.h"

namespace wendfit {
namespace {

PointSet makeSet(const std::vector<std::array<float, 3>>& positions,
                 const std::vector<std::array<float, 3>>& normals) {
  PointSet set;
  set.allocate(static_cast<int>(positions.size()));
  for (size_t i = 0; i < positions.size(); ++i) {
    const int id = static_cast<int>(i);
    set.setPosition(id, positions[i][0], positions[i][1], positions[i][2]);
    set.setNormal(id, normals[i][0], normals[i][1], normals[i][2]);
  }
  return set;
}

std::vector<std::array<float, 3>> positionsOf(const PointSet& set) {
  std::vector<std::array<float, 3>> positions(set.count);
  for (int i = 0; i < set.count; ++i) std::copy(set.position(i), set.position(i) + 3, positions[i].begin());
  return positions;
}

// Random points in a box of sides 8, 3 and 1 with random normals; every
// point's value is its original index, so reordering can be traced.
PointSet randomSet(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  PointSet set;
  set.allocate(count);
  for (int i = 0; i < count; ++i) {
    set.setPosition(i, 4.0f * unit(rng) + 1.0f, 1.5f * unit(rng), 0.5f * unit(rng) - 2.0f);
    set.setNormal(i, unit(rng), unit(rng), unit(rng));
    set.setValue(i, static_cast<float>(i));
  }
  return set;
}

// Octant path of a point from the root down to `level`, computed on its own
// from the cell geometry: cells have the box's proportions and a coordinate
// equal to the centre belongs to the upper half.
std::vector<int> octantPath(const PointOctree& octree, const float p[3], int level) {
  float centre[3];
  for (int k = 0; k < 3; ++k) centre[k] = (octree.lower[k] + octree.upper[k]) * 0.5f;
  std::vector<int> path;
  for (int depth = 0; depth < level; ++depth) {
    int octant = 0;
    for (int k = 0; k < 3; ++k) {
      const float offset = static_cast<float>(octree.halfExtent[k] * std::pow(2.0, -depth) * 0.5);
      const bool upperHalf = !(p[k] < centre[k]);
      if (upperHalf) octant |= 1 << k;
      centre[k] = upperHalf ? centre[k] + offset : centre[k] - offset;
    }
    path.push_back(octant);
  }
  return path;
}

TEST(PointOctree, LevelZeroYieldsMeanPositionAndUnitNormalSum) {
  PointSet points = randomSet(1000, 1);
  const std::vector<float> before = points.positions;
  PointOctree octree(points);
  const PointSet centres = octree.levelCentres(0);
  ASSERT_EQ(centres.count, 1);
  EXPECT_TRUE(centres.values.empty());
  double pos[3] = {0, 0, 0};
  double nrm[3] = {0, 0, 0};
  for (int i = 0; i < points.count; ++i) {
    for (int k = 0; k < 3; ++k) {
      pos[k] += points.position(i)[k];
      nrm[k] += points.normal(i)[k];
    }
  }
  const double length = std::sqrt(nrm[0] * nrm[0] + nrm[1] * nrm[1] + nrm[2] * nrm[2]);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(centres.position(0)[k], static_cast<float>(pos[k] * (1.0 / points.count)));
    EXPECT_EQ(centres.normal(0)[k], static_cast<float>(nrm[k] * (1.0 / length)));
  }
  EXPECT_EQ(points.positions, before);
  EXPECT_EQ(octree.cellCount(), 1);
}

TEST(PointOctree, LevelsMatchIndependentGroupingOfRandomPoints) {
  for (unsigned seed = 0; seed < 4; ++seed) {
    PointSet points = randomSet(600, 10 + seed);
    PointOctree octree(points);
    for (int level : {1, 2, 4, 3, 6}) {
      const PointSet centres = octree.levelCentres(level);
      // Depth-first order with octants ascending is the order of the paths.
      std::map<std::vector<int>, std::vector<int>> cells;
      for (int i = 0; i < points.count; ++i) {
        cells[octantPath(octree, points.position(i), level)].push_back(i);
      }
      ASSERT_EQ(centres.count, static_cast<int>(cells.size())) << "level " << level;
      ASSERT_EQ(centres.positions.size(), 3 * cells.size());
      int c = 0;
      for (const auto& cell : cells) {
        double pos[3] = {0, 0, 0};
        double nrm[3] = {0, 0, 0};
        for (int i : cell.second) {
          for (int k = 0; k < 3; ++k) {
            pos[k] += points.position(i)[k];
            nrm[k] += points.normal(i)[k];
          }
        }
        const double length = std::sqrt(nrm[0] * nrm[0] + nrm[1] * nrm[1] + nrm[2] * nrm[2]);
        for (int k = 0; k < 3; ++k) {
          EXPECT_NEAR(centres.position(c)[k], pos[k] / cell.second.size(), 1e-5);
          EXPECT_NEAR(centres.normal(c)[k], nrm[k] / length, 1e-5);
        }
        ++c;
      }
    }
    // Reordering moved each point's position, normal and value together.
    const PointSet original = randomSet(600, 10 + seed);
    for (int i = 0; i < points.count; ++i) {
      const int id = static_cast<int>(points.values[i]);
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(points.position(i)[k], original.position(id)[k]);
        ASSERT_EQ(points.normal(i)[k], original.normal(id)[k]);
      }
    }
  }
}

TEST(PointOctree, LevelAskedDirectlyEqualsLevelReachedStepByStep) {
  PointSet direct = randomSet(500, 3);
  PointSet stepwise = randomSet(500, 3);
  PointOctree directTree(direct);
  PointOctree stepwiseTree(stepwise);
  for (int level = 1; level < 5; ++level) stepwiseTree.levelCentres(level);
  const PointSet a = directTree.levelCentres(5);
  const PointSet b = stepwiseTree.levelCentres(5);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.normals, b.normals);
  EXPECT_EQ(direct.positions, stepwise.positions);
}

TEST(PointOctree, ParallelDivisionMatchesOneThreadStepByStep) {
  // Enough points that each depth's cells are divided on all threads; the
  // centres and the points' order must be those of one thread going level
  // by level.
  PointSet parallel = randomSet(60000, 5);
  PointSet serial = randomSet(60000, 5);
  PointOctree parallelTree(parallel);
  PointOctree serialTree(serial);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  for (int level = 1; level < 8; ++level) serialTree.levelCentres(level);
  const PointSet b = serialTree.levelCentres(8);
  omp_set_num_threads(std::max(threads, 2));
  const PointSet a = parallelTree.levelCentres(8);
  omp_set_num_threads(threads);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.normals, b.normals);
  EXPECT_EQ(parallel.values, serial.values);
  EXPECT_EQ(parallelTree.cellCount(), serialTree.cellCount());
}

TEST(PointOctree, SecondRequestForSameLevelChangesNothing) {
  PointSet points = randomSet(400, 4);
  PointOctree octree(points);
  const PointSet first = octree.levelCentres(4);
  const std::vector<float> positions = points.positions;
  const std::vector<float> values = points.values;
  const int cells = octree.cellCount();
  const PointSet second = octree.levelCentres(4);
  EXPECT_EQ(octree.cellCount(), cells);
  EXPECT_EQ(points.positions, positions);
  EXPECT_EQ(points.values, values);
  EXPECT_EQ(second.positions, first.positions);
  EXPECT_EQ(second.normals, first.normals);
}

TEST(PointOctree, DivisionReordersPointsInItsExchangeOrder) {
  // All points share y and z, which equal the centre there, so every point is
  // in the upper half on both; only x divides them (about 1.5).
  PointSet points = makeSet({{3, 0, 0}, {0, 0, 0}, {2, 0, 0}, {1, 0, 0}},
                            {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, -1}});
  PointOctree octree(points);
  const PointSet centres = octree.levelCentres(1);
  const std::vector<float> xs = {points.position(0)[0], points.position(1)[0],
                                 points.position(2)[0], points.position(3)[0]};
  EXPECT_EQ(xs, (std::vector<float>{0, 1, 3, 2}));
  EXPECT_EQ(points.normal(2)[0], 1.0f);
  EXPECT_EQ(points.normal(3)[2], 1.0f);
  ASSERT_EQ(centres.count, 2);
  EXPECT_EQ(centres.position(0)[0], 0.5f);
  EXPECT_EQ(centres.position(1)[0], 2.5f);
}

TEST(PointOctree, CoordinateOnTheCentreGoesToTheUpperHalf) {
  PointSet points = makeSet({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}});
  PointOctree octree(points);
  const PointSet centres = octree.levelCentres(1);
  ASSERT_EQ(centres.count, 2);
  EXPECT_EQ(centres.position(0)[0], 0.0f);
  EXPECT_EQ(centres.position(1)[0], 1.5f);
}

TEST(PointOctree, CellsHaveTheProportionsOfThePointsBox) {
  // Box of sides 4, 2 and 1: a depth-2 cell measures 1 x 0.5 x 0.25. The
  // three points nearest the origin share such a cell; (0.1, 0.6, 0.1) and
  // (0.1, 0.1, 0.3) do not, although all five would share a cube of side 1.
  PointSet points = makeSet({{0, 0, 0}, {4, 2, 1}, {0.1f, 0.1f, 0.1f}, {0.9f, 0.4f, 0.2f},
                             {0.1f, 0.6f, 0.1f}, {0.1f, 0.1f, 0.3f}},
                            {{0, 0, 1}, {0, 0, 1}, {0, 0, 2}, {0, 2, 0}, {3, 0, 0}, {0, 2, 0}});
  PointOctree octree(points);
  EXPECT_EQ(octree.halfExtent[0], 2.0f);
  EXPECT_EQ(octree.halfExtent[1], 1.0f);
  EXPECT_EQ(octree.halfExtent[2], 0.5f);
  const PointSet centres = octree.levelCentres(2);
  ASSERT_EQ(centres.count, 4);
  // Depth-first octant order: the origin's cell, its upper-y and upper-z
  // neighbours, then the far corner (a single point, not divided further).
  EXPECT_FLOAT_EQ(centres.position(0)[0], (0.0f + 0.1f + 0.9f) / 3.0f);
  EXPECT_EQ(centres.position(1)[1], 0.6f);
  EXPECT_EQ(centres.position(2)[2], 0.3f);
  EXPECT_EQ(centres.position(3)[0], 4.0f);
  EXPECT_EQ(octree.cellCount(), 1 + 2 + 3);
  // A single point's normal is scaled to unit length.
  EXPECT_EQ(centres.normal(1)[0], 1.0f);
  EXPECT_EQ(centres.normal(2)[1], 1.0f);
}

TEST(PointOctree, WideningTheRootCutsAsTheWiderBoxWould) {
  // Widened about the box's centre by 2, the root is the box of the points
  // together with two corners at the centre -/+ twice the half extent: below
  // those corners' own cells, both trees cut space alike and hold the same
  // centres (in another order, their means summed in another order).
  PointSet points = randomSet(3000, 11);
  PointOctree widened(points, 2.0f);
  // Only the centres' positions are compared: any normals do.
  std::vector<std::array<float, 3>> positions = positionsOf(points);
  std::array<float, 3> low, high;
  for (int k = 0; k < 3; ++k) {
    const float centre = (widened.lower[k] + widened.upper[k]) * 0.5f;
    low[k] = centre - widened.halfExtent[k];
    high[k] = centre + widened.halfExtent[k];
  }
  positions.push_back(low);
  positions.push_back(high);
  PointSet withCorners = makeSet(positions, std::vector<std::array<float, 3>>(positions.size(), {0, 0, 1}));
  PointOctree own(withCorners);
  EXPECT_EQ(widened.rootDiagonal(), 2.0f * widened.boxDiagonal());
  EXPECT_FLOAT_EQ(own.rootDiagonal(), widened.rootDiagonal());
  auto sorted = [&](const PointSet& centres) {
    std::vector<std::array<float, 3>> list = positionsOf(centres);
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& c) { return c == low || c == high; }),
               list.end());
    std::sort(list.begin(), list.end());
    return list;
  };
  for (int depth : {2, 4}) {
    const auto expected = sorted(own.levelCentres(depth));
    const auto actual = sorted(widened.levelCentres(depth));
    ASSERT_EQ(actual.size(), expected.size()) << "depth " << depth;
    for (size_t i = 0; i < expected.size(); ++i) {
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(actual[i][k], expected[i][k], 1e-5f) << "depth " << depth;
    }
  }
  EXPECT_THROW(PointOctree(points, 0.5f), Error);
}

TEST(PointOctree, NormalsThatCancelGiveZeroNormal) {
  PointSet points = makeSet({{0, 0, 0}, {0.1f, 0, 0}, {5, 5, 5}},
                            {{0, 1, -2}, {0, -1, 2}, {0, 0, 7}});
  PointOctree octree(points);
  const PointSet centres = octree.levelCentres(1);
  ASSERT_EQ(centres.count, 2);
  EXPECT_EQ(centres.normal(0)[0], 0.0f);
  EXPECT_EQ(centres.normal(0)[1], 0.0f);
  EXPECT_EQ(centres.normal(0)[2], 0.0f);
  EXPECT_EQ(centres.normal(1)[2], 1.0f);
}

TEST(PointOctree, CoincidentPointsAreDividedOnlyDownToTheRequestedLevel) {
  PointSet same = makeSet({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {{1, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  PointOctree octree(same);
  for (int level : {3, 30, 200}) {
    const PointSet centres = octree.levelCentres(level);
    EXPECT_EQ(octree.cellCount(), level + 1);
    ASSERT_EQ(centres.count, 1);
    EXPECT_EQ(centres.position(0)[2], 3.0f);
    EXPECT_FLOAT_EQ(centres.normal(0)[0], 2.0f / std::sqrt(5.0f));
  }

  // A cluster beside another point: the other point's cell stops at depth 1,
  // the cluster's chain goes on to the level, and the deep cells' offsets
  // underflow without harm.
  PointSet mixed = makeSet({{1, 1, 1}, {0, 0, 0}, {1, 1, 1}}, {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}});
  PointOctree mixedTree(mixed);
  const PointSet centres = mixedTree.levelCentres(300);
  EXPECT_EQ(mixedTree.cellCount(), 1 + 1 + 300);
  ASSERT_EQ(centres.count, 2);
  EXPECT_EQ(centres.position(0)[0], 0.0f);
  EXPECT_EQ(centres.position(1)[0], 1.0f);
}

TEST(PointOctree, RejectsEmptySetSetWithoutNormalsAndNegativeLevel) {
  PointSet empty;
  EXPECT_THROW(PointOctree{empty}, Error);
  PointSet noNormals;
  noNormals.count = 1;
  noNormals.positions = {0, 0, 0};
  EXPECT_THROW(PointOctree{noNormals}, Error);
  PointSet one = makeSet({{1, 1, 1}}, {{0, 0, 1}});
  PointOctree octree(one);
  EXPECT_THROW(octree.levelCentres(-1), Error);
  EXPECT_EQ(octree.levelCentres(5).count, 1);
}

}  // namespace
}  // namespace wendfit
