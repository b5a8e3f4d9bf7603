// Exact derivatives of the value and the curvature of level sets.

#include "function/exact_derivatives.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace wendfit {
namespace {

// Value term of one record at offset d, with its gradient and Hessian.
struct Term {
  double value;
  double gradient[3] = {0, 0, 0};
  double hessian[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

Term term(const QuadricCoefficients& c, float radius, const double d[3]) {
  Term t{};
  t.value = addExactTerm(t.gradient, t.hessian, c, radius, d[0], d[1], d[2],
                         d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  return t;
}

TEST(ExactDerivatives, TermMatchesCentralDifferencesOfItsValue) {
  std::mt19937 rng(15);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (int trial = 0; trial < 300; ++trial) {
    float coeff[10];
    for (float& c : coeff) c = unit(rng);
    // Both the full quadric and the first-order one the fitter produces.
    const QuadricCoefficients c{trial % 2 ? coeff : nullptr, coeff + 6};
    const float radius = 0.5f + 2.0f * (unit(rng) + 1.0f);
    // Offsets anywhere in the support: near the centre, the middle, the rim.
    const double reach = radius * (trial % 3 == 0 ? 0.02 : trial % 3 == 1 ? 0.6 : 0.97);
    double d[3];
    for (double& x : d) x = reach * unit(rng) / std::sqrt(3.0);
    const Term at = term(c, radius, d);
    const double h = 1e-5 * radius;
    const double scale = 1.0 + std::fabs(at.value) / (radius * radius);
    for (int i = 0; i < 3; ++i) {
      double plus[3] = {d[0], d[1], d[2]};
      double minus[3] = {d[0], d[1], d[2]};
      plus[i] += h;
      minus[i] -= h;
      const Term p = term(c, radius, plus);
      const Term m = term(c, radius, minus);
      EXPECT_NEAR(at.gradient[i], (p.value - m.value) / (2 * h), 1e-6 * scale) << trial << " " << i;
      for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(at.hessian[3 * i + j], (p.gradient[j] - m.gradient[j]) / (2 * h), 1e-5 * scale)
            << trial << " " << i << j;
      }
    }
  }
}

TEST(ExactDerivatives, AreTheSlopeOfTheValueInsideTheBoxOnly) {
  const float boxMin[3] = {-4, -4, -4};
  const float boxMax[3] = {4, 4, 4};
  ImplicitFunction function(boxMin, boxMax, nullptr);
  function.setOffset(-0.5f);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<std::vector<BasisFunction>> levels(3);
  for (int level = 0; level < 3; ++level) {
    for (int k = 0; k < 12; ++k) {
      BasisFunction f{};
      for (float& x : f.centre) x = 2.5f * unit(rng);
      for (float& x : f.coeff) x = unit(rng);
      f.radius = 3.0f / static_cast<float>(1 << level);
      f.level = level + 1;
      levels[level].push_back(f);
    }
  }
  for (const auto& records : levels) function.addLevel(records);

  for (int trial = 0; trial < 100; ++trial) {
    // Every fifth point sits exactly on a record's centre, where the
    // weight is flat but its Hessian is not.
    const BasisFunction& onCentre = levels[trial % 3][trial % 12];
    float p[3];
    for (int i = 0; i < 3; ++i) p[i] = trial % 5 == 0 ? onCentre.centre[i] : 3.0f * unit(rng);
    const ExactDerivatives d = exactDerivatives(function, p[0], p[1], p[2]);
    EXPECT_EQ(d.value, function.value(p[0], p[1], p[2]));
    // The gradient is the slope of the float values themselves.
    const float h = 1.0f / 256;
    for (int i = 0; i < 3; ++i) {
      float plus[3] = {p[0], p[1], p[2]};
      float minus[3] = {p[0], p[1], p[2]};
      plus[i] += h;
      minus[i] -= h;
      const double slope =
          (double{function.value(plus[0], plus[1], plus[2])} - function.value(minus[0], minus[1], minus[2])) /
          (2.0 * h);
      EXPECT_NEAR(d.gradient[i], slope, 2e-3 * (1.0 + std::fabs(d.hessian[4 * i]))) << trial << " " << i;
    }
  }
  // Outside the box the value is the constant offset: no slope, no shape.
  const ExactDerivatives outside = exactDerivatives(function, 4.001f, 0, 0);
  EXPECT_EQ(outside.value, -0.5f);
  for (double g : outside.gradient) EXPECT_EQ(g, 0.0);
  for (double h : outside.hessian) EXPECT_EQ(h, 0.0);
  const LevelSetCurvature flat = exactCurvature(function, 4.001f, 0, 0);
  EXPECT_EQ(flat.mean, 0.0);
  EXPECT_EQ(flat.k1, 0.0);
}

void expectParallel(const double a[3], double x, double y, double z) {
  EXPECT_NEAR(std::fabs(a[0] * x + a[1] * y + a[2] * z), 1.0, 1e-12) << a[0] << " " << a[1] << " " << a[2];
}

TEST(LevelSetCurvature, ShapesWithKnownCurvature) {
  // f = |p - (p.a) a|^2, a cylinder about the axis a = (0, 0.6, 0.8), at
  // p = (1/2, 0, 0): gradient (1, 0, 0), Hessian 2 (I - a a^T). Curved by
  // 1/radius across the axis, straight along it.
  const double a[3] = {0, 0.6, 0.8};
  const double cylinderGradient[3] = {1, 0, 0};
  double cylinderHessian[9];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) cylinderHessian[3 * i + j] = 2.0 * ((i == j) - a[i] * a[j]);
  }
  LevelSetCurvature c = levelSetCurvature(cylinderGradient, cylinderHessian);
  EXPECT_NEAR(c.k1, 2.0, 1e-14);
  EXPECT_NEAR(c.k2, 0.0, 1e-14);
  EXPECT_NEAR(c.mean, 1.0, 1e-14);
  EXPECT_NEAR(c.gaussian, 0.0, 1e-14);
  expectParallel(c.direction1, 0, 0.8, -0.6);
  expectParallel(c.direction2, 0, 0.6, 0.8);
  // (direction1, direction2, normal) is right-handed.
  const double* d1 = c.direction1;
  const double* d2 = c.direction2;
  EXPECT_NEAR(d1[1] * d2[2] - d1[2] * d2[1], 1.0, 1e-12);

  // The saddle 3 z - (x^2 - y^2) / 2 at the origin: its zero set
  // z = (x^2 - y^2) / 6 bends away from the normal (+z) along y and
  // towards it along x, each by 1/3.
  const double saddleGradient[3] = {0, 0, 3};
  const double saddleHessian[9] = {-1, 0, 0, 0, 1, 0, 0, 0, 0};
  c = levelSetCurvature(saddleGradient, saddleHessian);
  EXPECT_NEAR(c.k1, 1.0 / 3, 1e-15);
  EXPECT_NEAR(c.k2, -1.0 / 3, 1e-15);
  EXPECT_NEAR(c.mean, 0.0, 1e-15);
  EXPECT_NEAR(c.gaussian, -1.0 / 9, 1e-15);
  expectParallel(c.direction1, 0, 1, 0);
  expectParallel(c.direction2, 1, 0, 0);

  // No gradient, no level set: zeros, never NaN.
  const double none[3] = {0, 0, 0};
  c = levelSetCurvature(none, cylinderHessian);
  EXPECT_EQ(c.mean, 0.0);
  EXPECT_EQ(c.gaussian, 0.0);
  EXPECT_EQ(c.direction1[0], 0.0);
}

}  // namespace
}  // namespace wendfit
