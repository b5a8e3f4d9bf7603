#include "spatial/isolated_points.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace wendfit {
namespace {

TEST(IsolatedPoints, StrayPointsAndSmallGroupsFarAwayAreMarkedTheBodyIsNot) {
  // A dense body (a unit cube of 2000 points), a group of 20 and a group of
  // 5 points far away, and 3 single strays; cells of 0.5.
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<std::array<float, 3>> at;
  for (int i = 0; i < 2000; ++i) at.push_back({unit(rng), unit(rng), unit(rng)});
  for (int i = 0; i < 20; ++i) at.push_back({30 + 0.01f * i, 0, 0});
  for (int i = 0; i < 5; ++i) at.push_back({0, 30 + 0.01f * i, 0});
  for (float x : {-40.0f, 55.0f, 70.0f}) at.push_back({x, x, -x});
  PointSet points;
  points.allocate(static_cast<int>(at.size()));
  for (int i = 0; i < points.count; ++i) {
    points.setPosition(i, at[i][0], at[i][1], at[i][2]);
    points.setNormal(i, 0, 0, 1);
  }
  const std::vector<char> isolated = isolatedPoints(points, 0.5, 8);
  ASSERT_EQ(isolated.size(), at.size());
  for (int i = 0; i < points.count; ++i) EXPECT_EQ(isolated[i], i >= 2020 ? 1 : 0) << i;
}

}  // namespace
}  // namespace wendfit
