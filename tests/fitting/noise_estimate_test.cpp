// The noise estimate on shapes whose noise is known: a sphere and a plane
// with seeded Gaussian position noise, and normals flipped or turned away
// on purpose.

#include "fitting/noise_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "core/error.h"

namespace wendfit {
namespace {

constexpr int kPointCount = 20000;
constexpr double kSphereDiagonal = 2.0 * 1.7320508075688772;  // unit sphere's box
constexpr double kPlaneDiagonal = 2.0 * 1.4142135623730951;   // [-1, 1]^2 square

enum class Shape { Sphere, Plane };

// Area-uniform points on the shape with unit outward normals, then `sigma`
// Gaussian noise on every coordinate and 0.1 on every normal component
// (renormalised) when sigma > 0.
PointSet noisySample(Shape shape, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  PointSet points;
  points.allocate(kPointCount);
  for (int i = 0; i < kPointCount; ++i) {
    double p[3];
    double n[3] = {0, 0, 1};
    if (shape == Shape::Sphere) {
      double length = 0;
      do {
        for (double& c : n) c = gauss(rng);
        length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      } while (length < 1e-9);
      for (int k = 0; k < 3; ++k) p[k] = n[k] /= length;
    } else {
      p[0] = uniform(rng), p[1] = uniform(rng), p[2] = 0;
    }
    if (sigma > 0) {
      double length = 0;
      for (int k = 0; k < 3; ++k) p[k] += sigma * gauss(rng);
      for (double& c : n) c += 0.1 * gauss(rng);
      length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      for (double& c : n) c /= length;
    }
    points.setPosition(i, float(p[0]), float(p[1]), float(p[2]));
    points.setNormal(i, float(n[0]), float(n[1]), float(n[2]));
  }
  return points;
}

TEST(NoiseEstimate, RecoversSigmaOnSphereAndPlaneAndNearZeroOnCleanSamples) {
  for (Shape shape : {Shape::Sphere, Shape::Plane}) {
    const double diagonal = shape == Shape::Sphere ? kSphereDiagonal : kPlaneDiagonal;
    const char* name = shape == Shape::Sphere ? "sphere" : "plane";
    const NoiseEstimate clean = estimateNoise(noisySample(shape, 0.0, 1));
    // Clean samples count as exact data, so their fit keeps the designed
    // settings.
    EXPECT_LT(clean.sigma / diagonal, 0.1 * kExactRelativeNoise) << name;
    EXPECT_EQ(clean.flippedNormals + clean.strayNormals, 0) << name;
    for (double relative : {0.001, 0.002, 0.005}) {
      const double sigma = relative * diagonal;
      const NoiseEstimate noisy = estimateNoise(noisySample(shape, sigma, 2));
      EXPECT_NEAR(noisy.sigma / sigma, 1.0, 0.25) << name << " at " << relative;
      // Normal noise of 0.1 per component turns a normal by about 0.13 rad.
      EXPECT_GT(noisy.normalAngle, 0.05) << name << " at " << relative;
      EXPECT_LT(noisy.normalAngle, 0.25) << name << " at " << relative;
      EXPECT_EQ(noisy.flippedNormals, 0) << name << " at " << relative;
      EXPECT_LT(noisy.opposedShare, 0.02) << name << " at " << relative;
    }
    // Normals of random sign face against half of their neighbours.
    PointSet unoriented = noisySample(shape, 0.0, 4);
    for (int i = 0; i < unoriented.count; i += 2) {
      for (int k = 0; k < 3; ++k) unoriented.normals[3 * size_t(i) + k] *= -1.0f;
    }
    EXPECT_NEAR(estimateNoise(unoriented).opposedShare, 0.5, 0.1) << name;
  }
}

TEST(NoiseEstimate, FlippedNormalsAreReorientedAndStrayOnesDropped) {
  const double sigma = 0.002 * kSphereDiagonal;
  PointSet points = noisySample(Shape::Sphere, sigma, 3);
  long flipped = 0;
  long turned = 0;
  for (int i = 0; i < points.count; ++i) {
    float* n = &points.normals[3 * size_t(i)];
    const float* p = points.position(i);
    if (i % 97 == 0) {
      for (int k = 0; k < 3; ++k) n[k] = -n[k];
      ++flipped;
    } else if (i % 101 == 0) {
      // Tangent to the sphere: 90 degrees off.
      const float t[3] = {-p[1], p[0], 0.0f};
      const float length = std::sqrt(t[0] * t[0] + t[1] * t[1]);
      if (length < 0.1f) continue;
      for (int k = 0; k < 3; ++k) n[k] = t[k] / length;
      ++turned;
    }
  }
  std::vector<NormalStatus> status;
  const NoiseEstimate estimate = estimateNoise(points, &status);
  // The spacing handed in by a caller that has measured it changes nothing.
  std::vector<NormalStatus> givenStatus;
  const NoiseEstimate given = estimateNoise(points, &givenStatus, estimate.spacing);
  EXPECT_EQ(given.sigma, estimate.sigma);
  EXPECT_EQ(givenStatus, status);
  EXPECT_EQ(estimate.flippedNormals, flipped);
  EXPECT_EQ(estimate.strayNormals, turned);
  EXPECT_NEAR(estimate.sigma / sigma, 1.0, 0.25);

  EXPECT_EQ(treatNormals(points, status), flipped + turned);
  EXPECT_EQ(points.count, kPointCount - turned);
  int outward = 0;
  for (int i = 0; i < points.count; ++i) {
    const float* p = points.position(i);
    const float* n = points.normal(i);
    if (p[0] * n[0] + p[1] * n[1] + p[2] * n[2] > 0) ++outward;
  }
  EXPECT_EQ(outward, points.count);
}

TEST(NoiseEstimate, SettingsKeepEveryLevelOnExactDataAndFollowTheNoise) {
  const PointSet clean = noisySample(Shape::Sphere, 0.0, 4);
  // Exact by declaration, and measured on clean samples.
  for (double given : {0.0, -1.0}) {
    std::vector<NormalStatus> status;
    const NoiseChoice exact = chooseNoiseSettings(clean, given, 9, &status);
    EXPECT_EQ(exact.settings.threshold, 0.0) << given;
    // Exact data get the noisy rule's smoothing at the least noise, no jump.
    EXPECT_DOUBLE_EQ(exact.settings.regularization, 5000 * kExactRelativeNoise) << given;
    EXPECT_EQ(exact.settings.levels, 9) << given;
    EXPECT_EQ(status.size(), size_t(kPointCount));
  }
  // Opposed normals in exact data are dropped, not reversed (as at a sharp
  // edge, where reversing pins the wrong side); in noisy data reversed.
  const double sigma = 0.005 * kSphereDiagonal;
  for (double noise : {0.0, sigma}) {
    PointSet points = noisySample(Shape::Sphere, noise, 5);
    for (int i = 0; i < points.count; i += 97) {
      for (int k = 0; k < 3; ++k) points.normals[3 * size_t(i) + k] *= -1.0f;
    }
    std::vector<NormalStatus> status;
    const NoiseChoice choice = chooseNoiseSettings(points, -1.0, 9, &status);
    const long flipped = std::count(status.begin(), status.end(), NormalStatus::Flipped);
    const long stray = std::count(status.begin(), status.end(), NormalStatus::Stray);
    EXPECT_EQ(flipped, choice.estimate.flippedNormals) << noise;
    EXPECT_EQ(stray, choice.estimate.strayNormals) << noise;
    EXPECT_GE(flipped + stray, (kPointCount + 96) / 97) << noise;
    EXPECT_EQ(flipped == 0, choice.settings.threshold == 0.0) << noise;
  }
  const NoiseChoice noisy = chooseNoiseSettings(noisySample(Shape::Sphere, sigma, 4), -1.0, 12);
  EXPECT_TRUE(noisy.measured);
  EXPECT_NEAR(noisy.settings.threshold / (2 * 0.005), 1.0, 0.25);
  EXPECT_GT(noisy.settings.regularization, 0.0);
  // The finest support radius stays above the noise band, one level apart.
  const double finest = 1.5 * noisy.estimate.boxDiagonal / std::pow(2.0, noisy.settings.levels - 1);
  EXPECT_GE(finest, 3 * noisy.sigma);
  EXPECT_LT(finest, 6 * noisy.sigma);
  EXPECT_THROW(noiseFitSettings(-1.0, 20.0, 9), Error);
}

}  // namespace
}  // namespace wendfit
