#include "core/point_set.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/error.h"

namespace wendfit {
namespace {

PointSet makeSet(std::initializer_list<std::array<float, 3>> points) {
  PointSet set;
  set.allocate(static_cast<int>(points.size()));
  int i = 0;
  for (const auto& p : points) {
    set.setPosition(i, p[0], p[1], p[2]);
    set.setNormal(i, float(i), 0, 0);
    ++i;
  }
  return set;
}

TEST(PointSet, BoundingBoxGrowsAboutCentre) {
  PointSet set = makeSet({{0, 0, 2}, {10, 4, 0}, {5, 1, 1}});
  float min[3], max[3];
  set.boundingBox(min, max, 1.5f);
  EXPECT_EQ(min[0], -2.5f);
  EXPECT_EQ(min[1], -1.0f);
  EXPECT_EQ(min[2], -0.5f);
  EXPECT_EQ(max[0], 12.5f);
  EXPECT_EQ(max[1], 5.0f);
  EXPECT_EQ(max[2], 2.5f);
  set.boundingBox(min, max, 1.0f);
  EXPECT_EQ(min[0], 0.0f);
  EXPECT_EQ(max[0], 10.0f);
}

TEST(PointSet, BoundingBoxOfOnePointAndNegativeFirstPoint) {
  PointSet one = makeSet({{3, -2, 7}});
  float min[3], max[3];
  one.boundingBox(min, max, 1.5f);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(min[k], max[k]);
  EXPECT_EQ(min[1], -2.0f);

  PointSet set = makeSet({{-4, 0, 0}, {1, 0, 0}, {2, 0, 0}});
  set.boundingBox(min, max, 1.0f);
  EXPECT_EQ(min[0], -4.0f);
  EXPECT_EQ(max[0], 2.0f);
}

TEST(PointSet, BoundingBoxIgnoresNanCoordinatesAfterTheFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  PointSet set = makeSet({{1, 1, 1}, {nan, 2, 2}, {3, 3, 3}});
  float min[3], max[3];
  set.boundingBox(min, max, 1.0f);
  EXPECT_EQ(min[0], 1.0f);
  EXPECT_EQ(max[0], 3.0f);
}

TEST(PointSet, RescaleScalesAboutOriginToTargetExtent) {
  PointSet set = makeSet({{0, 0, 0}, {10, 4, 2}});
  EXPECT_EQ(set.rescale(20.0f), 2.0f);
  EXPECT_EQ(set.position(1)[0], 20.0f);
  EXPECT_EQ(set.position(1)[1], 8.0f);
  EXPECT_EQ(set.position(1)[2], 4.0f);

  // Not recentred: -1 .. 3 becomes -5 .. 15; normals untouched.
  PointSet shifted = makeSet({{-1, 0, 0}, {3, 1, 1}});
  shifted.rescale(20.0f);
  EXPECT_EQ(shifted.position(0)[0], -5.0f);
  EXPECT_EQ(shifted.position(1)[0], 15.0f);
  EXPECT_EQ(shifted.normal(1)[0], 1.0f);
}

TEST(PointSet, RescaleLeavesEmptyAndCoincidentSetsAlone) {
  PointSet empty;
  EXPECT_EQ(empty.rescale(20.0f), 1.0f);
  float min[3], max[3];
  empty.boundingBox(min, max, 1.5f);
  EXPECT_EQ(min[0], 0.0f);
  EXPECT_EQ(max[2], 0.0f);

  PointSet same = makeSet({{2, 3, 4}, {2, 3, 4}});
  EXPECT_EQ(same.rescale(20.0f), 1.0f);
  EXPECT_EQ(same.position(1)[2], 4.0f);
}

TEST(PointSet, SetValueCreatesValuesOnceAndExchangeMovesEverything) {
  PointSet set = makeSet({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}});
  EXPECT_FALSE(set.hasValues());
  set.exchange(0, 2);  // without values
  EXPECT_EQ(set.position(0)[0], 2.0f);
  EXPECT_EQ(set.normal(0)[0], 2.0f);
  set.setValue(1, 5.0f);
  ASSERT_TRUE(set.hasValues());
  EXPECT_EQ(set.values.size(), 3u);
  const float* data = set.values.data();
  set.setValue(2, 7.0f);
  EXPECT_EQ(set.values.data(), data);
  set.exchange(1, 2);
  EXPECT_EQ(set.values[1], 7.0f);
  EXPECT_EQ(set.values[2], 5.0f);
  EXPECT_EQ(set.position(2)[0], 1.0f);
  EXPECT_EQ(set.normal(2)[0], 1.0f);
}

TEST(PointSet, AllocateRejectsNegativeCount) {
  PointSet set;
  EXPECT_THROW(set.allocate(-1), Error);
  set.allocate(0);
  EXPECT_EQ(set.count, 0);
}

}  // namespace
}  // namespace wendfit
