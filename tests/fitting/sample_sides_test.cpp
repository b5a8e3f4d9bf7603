#include "fitting/sample_sides.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/fit_support.h"

namespace wendfit {
namespace {

// Area-uniform samples of the slab |x|, |y| <= 1, |z| <= kHalfThickness
// with outward normals: two faces, and rims in proportion to their area.
// The slab is far thinner than the sample spacing (about 0.006).
constexpr double kHalfThickness = 0.0005;

PointSet sampleSlab(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  PointSet points;
  points.allocate(count);
  const double faceArea = 2 * 4.0;
  const double rimArea = 4 * 2.0 * 2 * kHalfThickness;
  for (int i = 0; i < count; ++i) {
    const double a = unit(rng), b = unit(rng), c = unit(rng) * kHalfThickness;
    const bool face = (unit(rng) + 1) / 2 * (faceArea + rimArea) < faceArea;
    const double s = unit(rng) < 0 ? -1.0 : 1.0;
    if (face) {
      points.setPosition(i, float(a), float(b), float(s * kHalfThickness));
      points.setNormal(i, 0, 0, float(s));
    } else if (unit(rng) < 0) {
      points.setPosition(i, float(s), float(a), float(c));
      points.setNormal(i, float(s), 0, 0);
    } else {
      points.setPosition(i, float(a), float(s), float(c));
      points.setNormal(i, 0, float(s), 0);
    }
  }
  return points;
}

// Winding numbers are 1 inside and 0 outside up to the sampling's error.
constexpr double kWindingTolerance = 0.15;

TEST(SampleSides, WindingTellsTheSidesOfASheetThinnerThanTheSpacing) {
  const SampleSides sides(sampleSlab(20000, 3));
  ASSERT_GT(sides.medianSpacing(), 5 * kHalfThickness);
  // Beside a face, and past the rim: the two walls' tangent planes disagree
  // about these points, their terms cancel.
  const float above[3] = {0.3f, -0.2f, 0.05f};
  const float pastRim[3] = {1.04f, 0.1f, 0.02f};
  const float pastCorner[3] = {1.03f, 1.03f, -0.01f};
  for (const float* q : {above, pastRim, pastCorner}) EXPECT_NEAR(sides.winding(q), 0.0, kWindingTolerance);
  // Every face sample has the other wall right behind it.
  EXPECT_GT(sides.twoSided().size(), 3u * 10000);
}

TEST(SampleSides, WindingIsOneInsideAndZeroOutsideASphere) {
  const SampleSides sides(test::randomSpherePoints(20000, 5));
  const float inside[3] = {0.2f, 0.5f, -0.6f};
  const float outside[3] = {0.0f, 0.0f, 1.1f};
  const float far[3] = {5.0f, -3.0f, 2.0f};
  EXPECT_NEAR(sides.winding(inside), 1.0, kWindingTolerance);
  EXPECT_NEAR(sides.winding(outside), 0.0, kWindingTolerance);
  EXPECT_NEAR(sides.winding(far), 0.0, kWindingTolerance);
  EXPECT_TRUE(sides.twoSided().empty());
  float nearest[3];
  EXPECT_NEAR(sides.nearestDistance(far, nearest), std::sqrt(38.0) - 1.0, 0.02);
  EXPECT_NEAR(std::sqrt(nearest[0] * nearest[0] + nearest[1] * nearest[1] + nearest[2] * nearest[2]), 1.0, 1e-6);
}

TEST(SampleSides, EmptySetIsOutsideEverywhere) {
  const SampleSides sides{PointSet{}};
  const float q[3] = {0, 0, 0};
  EXPECT_EQ(sides.winding(q), 0.0);
  EXPECT_TRUE(std::isinf(sides.nearestDistance(q, nullptr)));
  EXPECT_TRUE(sides.twoSided().empty());
}

}  // namespace
}  // namespace wendfit
