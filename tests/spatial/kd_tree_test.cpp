#include "spatial/kd_tree.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace wendfit {
namespace {

// Every point's normal and value encode its original index, so that a test
// can tell where each point went.
PointSet makeSet(const std::vector<std::array<float, 3>>& positions) {
  PointSet set;
  set.allocate(static_cast<int>(positions.size()));
  for (size_t i = 0; i < positions.size(); ++i) {
    const int id = static_cast<int>(i);
    set.setPosition(id, positions[i][0], positions[i][1], positions[i][2]);
    set.setNormal(id, static_cast<float>(id), -static_cast<float>(id), 0.5f);
    set.setValue(id, static_cast<float>(id));
  }
  return set;
}

std::vector<int> bruteForce(const PointSet& set, const float q[3], float r) {
  const double radiusSq = static_cast<double>(r) * static_cast<double>(r);
  std::vector<int> found;
  for (int i = 0; i < set.count; ++i) {
    const float* p = set.position(i);
    const double dx = static_cast<double>(q[0]) - p[0];
    const double dy = static_cast<double>(q[1]) - p[1];
    const double dz = static_cast<double>(q[2]) - p[2];
    if (dz * dz + dy * dy + dx * dx < radiusSq) found.push_back(i);
  }
  return found;
}

// Queries around every point and around random points with random radii
// (zero included) and compares all three query forms with a brute-force scan over
// the reordered set. Results come in ascending index order: the subtree above
// a split occupies the front of its node's range and is visited first.
void expectMatchesBruteForceAt(const std::vector<std::array<float, 3>>& positions, unsigned seed) {
  PointSet set = makeSet(positions);
  KdTree tree(set);
  ASSERT_EQ(tree.size(), set.count);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> coord(-1.5f, 1.5f);
  std::uniform_real_distribution<float> radius(0.0f, 0.8f);
  std::vector<int> buffer(set.count + 1);
  // One vector reused across queries, as the fitter's threads reuse theirs:
  // a shorter answer after a longer one must not keep stale entries.
  std::vector<int> reused{-1, -2, -3};
  for (int j = 0; j < 2 * set.count + 20; ++j) {
    float q[3];
    const bool atPoint = j < set.count;
    for (int k = 0; k < 3; ++k) q[k] = atPoint ? set.position(j)[k] : coord(rng);
    const float r = j % 7 == 0 ? 0.0f : radius(rng);
    const int* found = tree.query(q, r);
    const std::vector<int> got(found, found + tree.resultCount());
    const std::vector<int> expected = bruteForce(set, q, r);
    ASSERT_EQ(got, expected) << "query " << j << " radius " << r;
    ASSERT_EQ(tree.query(q, r, buffer.data()), tree.resultCount());
    ASSERT_TRUE(std::equal(got.begin(), got.end(), buffer.begin()));
    ASSERT_EQ(tree.query(q, r, reused), static_cast<int>(expected.size()));
    ASSERT_EQ(reused, expected) << "query " << j << " radius " << r;
    // A batch of two queries sharing one walk: the box of q and a second
    // point (the next point of the set, or a random one).
    float other[3];
    for (int k = 0; k < 3; ++k) other[k] = atPoint ? set.position((j + 1) % set.count)[k] : coord(rng);
    float low[3], high[3];
    for (int k = 0; k < 3; ++k) {
      low[k] = std::min(q[k], other[k]);
      high[k] = std::max(q[k], other[k]);
    }
    std::vector<std::pair<int, int>> runs;
    tree.candidateRuns(low, high, r, runs);
    tree.queryRuns(q, r, runs, reused);
    ASSERT_EQ(reused, expected) << "runs, query " << j << " radius " << r;
    tree.queryRuns(other, r, runs, reused);
    ASSERT_EQ(reused, bruteForce(set, other, r)) << "runs, second query " << j << " radius " << r;
  }
}

// At every leaf-test width the processor has (the vector widths fall back
// to narrower ones where it lacks them).
void expectMatchesBruteForce(const std::vector<std::array<float, 3>>& positions, unsigned seed) {
  for (int width : {8, 4, 1}) {
    SCOPED_TRACE("leaf test width " + std::to_string(width));
    const int saved = limitLeafTestWidth(width);
    expectMatchesBruteForceAt(positions, seed);
    limitLeafTestWidth(saved);
  }
}

std::vector<std::array<float, 3>> randomPositions(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  std::vector<std::array<float, 3>> positions(count);
  for (auto& p : positions) p = {coord(rng), coord(rng), coord(rng)};
  return positions;
}

TEST(KdTree, QueryMatchesBruteForceOnRandomPoints) {
  for (int count : {0, 1, 9, 10, 11, 57, 500, 3000}) {
    SCOPED_TRACE(count);
    expectMatchesBruteForce(randomPositions(count, 100 + count), count);
  }
}

TEST(KdTree, LargeSetsBuildTheSameTreeOnAnyThreadCount) {
  // Large sets divide their subtrees on all threads: the points' order and
  // every answer must be those of one thread, and right.
  const std::vector<std::array<float, 3>> positions = randomPositions(40000, 3);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  PointSet one = makeSet(positions);
  KdTree alone(one);
  omp_set_num_threads(std::max(threads, 2));
  PointSet many = makeSet(positions);
  KdTree shared(many);
  omp_set_num_threads(threads);
  ASSERT_EQ(one.positions, many.positions);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> coord(-1.2f, 1.2f);
  for (int j = 0; j < 200; ++j) {
    const float q[3] = {coord(rng), coord(rng), coord(rng)};
    const float r = 0.002f * static_cast<float>(j);
    const int* found = shared.query(q, r);
    const std::vector<int> got(found, found + shared.resultCount());
    ASSERT_EQ(got, bruteForce(many, q, r)) << j;
    found = alone.query(q, r);
    ASSERT_EQ(got, std::vector<int>(found, found + alone.resultCount())) << j;
  }
}

TEST(KdTree, QueryMatchesBruteForceOnDuplicatesPlanesAndLines) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  std::vector<std::array<float, 3>> duplicates = randomPositions(200, 8);
  for (int i = 0; i < 300; ++i) duplicates.push_back(duplicates[i % 13]);
  std::shuffle(duplicates.begin(), duplicates.end(), rng);
  std::vector<std::array<float, 3>> allSame(150, {0.25f, -0.5f, 1.0f});
  std::vector<std::array<float, 3>> plane;
  std::vector<std::array<float, 3>> line;
  std::vector<std::array<float, 3>> grid;
  for (int i = 0; i < 400; ++i) {
    const float s = coord(rng);
    const float t = coord(rng);
    plane.push_back({s, 0.3f * s + t, 0.2f});
    line.push_back({0.5f * s, 0.5f * s, -0.25f * s});
    // Ties everywhere: a coarse grid holds many points on every split.
    grid.push_back({std::round(4 * s) / 4, std::round(4 * t) / 4, 0.0f});
  }
  // Ten copies of each -2^-k: every split leaves all but the lowest value
  // above it, so the left branches nest about 150 deep.
  std::vector<std::array<float, 3>> chain;
  for (int k = 0; k < 150; ++k) {
    for (int copy = 0; copy < 10; ++copy) chain.push_back({-std::ldexp(1.0f, -k), 0, 0});
  }
  expectMatchesBruteForce(duplicates, 1);
  expectMatchesBruteForce(chain, 6);
  expectMatchesBruteForce(allSame, 2);
  expectMatchesBruteForce(plane, 3);
  expectMatchesBruteForce(line, 4);
  expectMatchesBruteForce(grid, 5);
}

TEST(KdTree, NodesThatCannotBeSplitStayLeavesInTheirOrder) {
  // Ten coincident points, and twelve points on two neighbouring floats whose
  // float midpoint equals the larger one: dividing would reproduce the node.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  ASSERT_EQ((a + b) * 0.5f, b);
  std::vector<std::array<float, 3>> coincident(10, {1, 2, 3});
  std::vector<std::array<float, 3>> neighbours;
  for (int i = 0; i < 12; ++i) neighbours.push_back({i % 3 == 0 ? b : a, 0, 0});
  for (const auto& positions : {coincident, neighbours}) {
    PointSet set = makeSet(positions);
    KdTree tree(set);
    for (int i = 0; i < set.count; ++i) EXPECT_EQ(set.values[i], static_cast<float>(i));
    const float q[3] = {a, 0, 0};
    tree.query(q, 10.0f);
    EXPECT_EQ(tree.resultCount(), set.count);
  }
  expectMatchesBruteForce(neighbours, 6);
}

TEST(KdTree, NonFiniteCoordinatesDoNotStopTheBuild) {
  std::vector<std::array<float, 3>> positions = randomPositions(40, 9);
  positions[3] = {std::numeric_limits<float>::infinity(), 0, 0};
  positions[17] = {0, std::numeric_limits<float>::quiet_NaN(), 0};
  positions[25] = {0, 0, -std::numeric_limits<float>::infinity()};
  expectMatchesBruteForce(positions, 10);
}

TEST(KdTree, ConstructionReordersPointsInItsExchangeOrder) {
  // Ten points on the x axis: the root splits at 4.5, the points above it go
  // to the front, and both halves (five points each) stay leaves.
  const std::vector<float> xs = {5, 0, 9, 3, 7, 1, 8, 2, 6, 4};
  std::vector<std::array<float, 3>> positions;
  for (float x : xs) positions.push_back({x, 0, 0});
  PointSet set = makeSet(positions);
  KdTree tree(set);
  const std::vector<float> expected = {5, 6, 9, 8, 7, 1, 2, 3, 4, 0};
  for (int i = 0; i < set.count; ++i) {
    EXPECT_EQ(set.position(i)[0], expected[i]) << i;
    const int id = static_cast<int>(set.values[i]);
    EXPECT_EQ(xs[id], expected[i]);
    EXPECT_EQ(set.normal(i)[0], static_cast<float>(id));
    EXPECT_EQ(set.normal(i)[1], -static_cast<float>(id));
  }
  // Nine points are not divided and keep their order.
  positions.pop_back();
  PointSet nine = makeSet(positions);
  KdTree leaf(nine);
  for (int i = 0; i < nine.count; ++i) EXPECT_EQ(nine.position(i)[0], xs[i]);
  const float q[3] = {0, 0, 0};
  leaf.query(q, 100.0f);
  EXPECT_EQ(leaf.resultCount(), 9);
}

TEST(KdTree, PruningKeepsSubtreesWhoseRoundedGapEqualsTheRadius) {
  // The root splits at -1e-5 (or 1e-5). Seen from x = 1000 (or -1000) the
  // gap to the split rounds to exactly the radius 1000 in float, yet points
  // on the far side of the split lie closer than 1000: only an inclusive
  // pruning test finds them.
  for (float side : {-1.0f, 1.0f}) {
    std::vector<std::array<float, 3>> positions;
    for (int i = 0; i < 10; ++i) {
      positions.push_back({side * 2e-5f * static_cast<float>(i) / 9, 0, 0});
    }
    PointSet set = makeSet(positions);
    KdTree tree(set);
    const float q[3] = {1000.0f * side, 0, 0};
    const int* found = tree.query(q, 1000.0f);
    EXPECT_EQ(std::vector<int>(found, found + tree.resultCount()), bruteForce(set, q, 1000.0f));
    EXPECT_EQ(tree.resultCount(), 9);
  }
}

TEST(KdTree, EqualSidesSplitOnY) {
  // All three sides measure 9; y wins the tie, and its values 0 ... 9 in
  // order come out reversed. A split on x or z would order them differently.
  const std::vector<float> xs = {5, 0, 9, 3, 7, 1, 8, 2, 6, 4};
  const std::vector<float> zs = {3, 1, 4, 1, 5, 9, 2, 6, 5, 0};
  std::vector<std::array<float, 3>> positions;
  for (int i = 0; i < 10; ++i) positions.push_back({xs[i], static_cast<float>(i), zs[i]});
  PointSet set = makeSet(positions);
  KdTree tree(set);
  for (int i = 0; i < set.count; ++i) EXPECT_EQ(set.position(i)[1], static_cast<float>(9 - i));
}

TEST(KdTree, ReorderingKeepsEachPointsDataTogether) {
  const std::vector<std::array<float, 3>> positions = randomPositions(2000, 11);
  PointSet set = makeSet(positions);
  KdTree tree(set);
  std::vector<bool> seen(positions.size(), false);
  for (int i = 0; i < set.count; ++i) {
    const int id = static_cast<int>(set.values[i]);
    ASSERT_FALSE(seen[id]);
    seen[id] = true;
    for (int k = 0; k < 3; ++k) ASSERT_EQ(set.position(i)[k], positions[id][k]);
    ASSERT_EQ(set.normal(i)[0], static_cast<float>(id));
    ASSERT_EQ(set.normal(i)[1], -static_cast<float>(id));
  }
}

TEST(KdTree, QueryIsStrictAndEachQueryReplacesThePrevious) {
  std::vector<std::array<float, 3>> positions = randomPositions(50, 12);
  positions.push_back({0.5f, 0, 0});
  positions.push_back({0, 0, 0});
  PointSet set = makeSet(positions);
  KdTree tree(set);
  int origin = -1;
  for (int i = 0; i < set.count; ++i) {
    if (set.values[i] == 51.0f) origin = i;
  }
  const float q[3] = {0, 0, 0};
  // The point at exactly the radius is left out; the query point itself is
  // found for any positive radius but not for radius 0.
  tree.query(q, 0.5f);
  std::vector<int> first(tree.query(q, 0.5f), tree.query(q, 0.5f) + tree.resultCount());
  EXPECT_NE(std::find(first.begin(), first.end(), origin), first.end());
  for (int i : first) EXPECT_NE(set.values[i], 50.0f);
  tree.query(q, 0.0f);
  EXPECT_EQ(tree.resultCount(), 0);
  const int* found = tree.query(q, 1e-6f);
  ASSERT_EQ(tree.resultCount(), 1);
  EXPECT_EQ(found[0], origin);
}

}  // namespace
}  // namespace wendfit
