#include "function/basis_function.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace wendfit {
namespace {

// Radial function whose derivatives every gradient and Hessian uses.
double derivativeRadial(double t) { return std::pow(1.0 - t, 4) * (4.0 * t + 1.0); }

double distance(const double d[3]) { return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]); }

BasisFunction randomRecord(std::mt19937& rng) {
  std::uniform_real_distribution<float> coeff(-2.0f, 2.0f);
  BasisFunction f{};
  for (float& c : f.centre) c = coeff(rng);
  for (float& c : f.coeff) c = coeff(rng);
  f.radius = std::uniform_real_distribution<float>(0.5f, 4.0f)(rng);
  f.level = 1;
  return f;
}

TEST(Weight, MatchesClosedFormAndVanishesFromTheSupportRadiusOn) {
  EXPECT_EQ(weight(0.0, 2.0f), 3.0);
  // t = 1/2: (1/2)^6 (35/4 + 9 + 3) = 20.75 / 64, exact in binary.
  EXPECT_EQ(weight(1.0, 2.0f), 20.75 / 64.0);
  EXPECT_EQ(weight(2.0, 2.0f), 0.0);
  EXPECT_EQ(weight(std::nextafter(2.0, 3.0), 2.0f), 0.0);
  EXPECT_EQ(weight(1e6, 2.0f), 0.0);
  // Decreasing on the support, as a smooth bump must be.
  double previous = weight(0.0, 1.5f);
  for (int i = 1; i <= 100; ++i) {
    double current = weight(1.5 * i / 100.0, 1.5f);
    EXPECT_LT(current, previous) << "r = " << 1.5 * i / 100.0;
    previous = current;
  }
}

TEST(Weight, GradientDifferentiatesTheLowerOrderRadialFunctionNotTheValueWeight) {
  const float radius = 3.0f;
  const double h = 1e-6;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> coord(-1.7, 1.7);
  for (int i = 0; i < 200; ++i) {
    double d[3] = {coord(rng), coord(rng), coord(rng)};
    double r = distance(d);
    if (r > radius || r < 1e-3) continue;
    double grad[3];
    weightGradient(grad, r, radius, d[0], d[1], d[2]);
    for (int axis = 0; axis < 3; ++axis) {
      double plus[3] = {d[0], d[1], d[2]};
      double minus[3] = {d[0], d[1], d[2]};
      plus[axis] += h;
      minus[axis] -= h;
      double expected = (derivativeRadial(distance(plus) / radius) -
                         derivativeRadial(distance(minus) / radius)) / (2 * h);
      EXPECT_NEAR(grad[axis], expected, 1e-7) << "axis " << axis << " r " << r;
    }
  }
  // At t = 1/2 the derivative of the value weight is visibly different, so a
  // gradient built from the value weight would fail the check above.
  double grad[3];
  weightGradient(grad, 1.5, radius, 1.5, 0.0, 0.0);
  double valueSlope = (weight(1.5 + h, radius) - weight(1.5 - h, radius)) / (2 * h);
  EXPECT_GT(std::fabs(grad[0] - valueSlope), 0.05);
  // Outside the support and on its boundary the gradient is zero.
  weightGradient(grad, 3.0, radius, 3.0, 0.0, 0.0);
  EXPECT_EQ(grad[0], 0.0);
  weightGradient(grad, 3.5, radius, 0.0, 3.5, 0.0);
  EXPECT_EQ(grad[1], 0.0);
}

TEST(Weight, HessianMatchesDifferencesOfTheGradient) {
  const float radius = 2.5f;
  const double h = 1e-6;
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> coord(-1.5, 1.5);
  for (int i = 0; i < 200; ++i) {
    double d[3] = {coord(rng), coord(rng), coord(rng)};
    double r = distance(d);
    if (r > radius || r < 1e-2) continue;
    double hess[9];
    weightHessian(hess, r, radius, d[0], d[1], d[2]);
    for (int col = 0; col < 3; ++col) {
      double plus[3] = {d[0], d[1], d[2]};
      double minus[3] = {d[0], d[1], d[2]};
      plus[col] += h;
      minus[col] -= h;
      double gPlus[3];
      double gMinus[3];
      weightGradient(gPlus, distance(plus), radius, plus[0], plus[1], plus[2]);
      weightGradient(gMinus, distance(minus), radius, minus[0], minus[1], minus[2]);
      for (int row = 0; row < 3; ++row) {
        EXPECT_NEAR(hess[3 * row + col], (gPlus[row] - gMinus[row]) / (2 * h), 1e-6)
            << row << "," << col << " r " << r;
        EXPECT_EQ(hess[3 * row + col], hess[3 * col + row]);
      }
    }
  }
}

TEST(BasisFunction, QuadricDerivativesMatchDifferences) {
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> coord(-3.0, 3.0);
  const double h = 1e-5;
  for (int i = 0; i < 50; ++i) {
    BasisFunction f = randomRecord(rng);
    double d[3] = {coord(rng), coord(rng), coord(rng)};
    double grad[3];
    f.quadricGradient(grad, d[0], d[1], d[2]);
    double hess[9];
    f.quadricHessian(hess);
    for (int axis = 0; axis < 3; ++axis) {
      double plus[3] = {d[0], d[1], d[2]};
      double minus[3] = {d[0], d[1], d[2]};
      plus[axis] += h;
      minus[axis] -= h;
      double slope = (f.quadric(plus[0], plus[1], plus[2]) -
                      f.quadric(minus[0], minus[1], minus[2])) / (2 * h);
      EXPECT_NEAR(grad[axis], slope, 1e-8);
      double gPlus[3];
      double gMinus[3];
      f.quadricGradient(gPlus, plus[0], plus[1], plus[2]);
      f.quadricGradient(gMinus, minus[0], minus[1], minus[2]);
      for (int row = 0; row < 3; ++row) {
        EXPECT_NEAR(hess[3 * row + axis], (gPlus[row] - gMinus[row]) / (2 * h), 1e-8);
      }
    }
  }
}

TEST(BasisFunction, QuadricCarriesMixedCoefficientsOnce) {
  BasisFunction f{};
  f.coeff[3] = 1.0f;  // dx dy
  f.coeff[4] = 10.0f;  // dy dz
  f.coeff[5] = 100.0f;  // dx dz
  f.coeff[9] = 0.5f;
  EXPECT_EQ(f.quadric(2.0, 3.0, 5.0), 6.0 + 150.0 + 1000.0 + 0.5);
  double hess[9];
  f.quadricHessian(hess);
  const double expected[9] = {0, 1, 100, 1, 0, 10, 100, 10, 0};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(hess[i], expected[i]) << i;
  BasisFunction square{};
  square.coeff[0] = 1.0f;
  square.coeff[1] = 2.0f;
  square.coeff[2] = 3.0f;
  square.coeff[6] = 4.0f;
  EXPECT_EQ(square.quadric(1.0, 2.0, 3.0), 1.0 + 8.0 + 27.0 + 4.0);
}

TEST(BasisFunction, DerivativesVanishBeyondTheSupportOnItsBoundaryAndAtTheCentre) {
  std::mt19937 rng(14);
  BasisFunction f = randomRecord(rng);
  f.centre[0] = 1.0f;
  f.centre[1] = -2.0f;
  f.centre[2] = 0.5f;
  f.radius = 2.0f;
  const float points[][3] = {{1.0f, -2.0f, 0.5f}, {3.0f, -2.0f, 0.5f}, {1.0f, -2.0f, -1.5f},
                             {3.5f, -2.0f, 0.5f}, {40.0f, 40.0f, 40.0f}};
  for (const auto& p : points) {
    double grad[3] = {7, 7, 7};
    double hess[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    f.derivatives(grad, hess, p[0], p[1], p[2]);
    for (double g : grad) EXPECT_EQ(g, 0.0) << p[0] << " " << p[1] << " " << p[2];
    for (double v : hess) EXPECT_EQ(v, 0.0) << p[0] << " " << p[1] << " " << p[2];
  }
}

TEST(BasisFunction, DerivativesOfAConstantQuadricAreConsistent) {
  // With a constant quadric both orders come from the same radial function,
  // so the Hessian must be the derivative of the gradient.
  BasisFunction f{};
  f.centre[0] = 0.25f;
  f.centre[1] = 0.5f;
  f.centre[2] = -0.75f;
  f.coeff[9] = -1.5f;
  f.radius = 1.75f;
  std::mt19937 rng(15);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  const float h = 1.0f / 1024.0f;
  for (int i = 0; i < 100; ++i) {
    float p[3] = {f.centre[0] + coord(rng), f.centre[1] + coord(rng), f.centre[2] + coord(rng)};
    double grad[3];
    double hess[9];
    f.derivatives(grad, hess, p[0], p[1], p[2]);
    double d[3] = {static_cast<float>(p[0] - f.centre[0]), static_cast<float>(p[1] - f.centre[1]),
                   static_cast<float>(p[2] - f.centre[2])};
    double r = distance(d);
    if (r > f.radius - 0.01 || r < 0.05) continue;
    double k = -20.0 * std::pow(1.0 - r / f.radius, 3) / (1.75 * 1.75);
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(grad[axis], -1.5 * k * d[axis], 1e-12);
    for (int col = 0; col < 3; ++col) {
      float plus[3] = {p[0], p[1], p[2]};
      float minus[3] = {p[0], p[1], p[2]};
      plus[col] += h;
      minus[col] -= h;
      double gPlus[3];
      double gMinus[3];
      double unused[9];
      f.derivatives(gPlus, unused, plus[0], plus[1], plus[2]);
      f.derivatives(gMinus, unused, minus[0], minus[1], minus[2]);
      // The step actually taken, after the offsets were rounded to float.
      double step = static_cast<double>(static_cast<float>(plus[col] - f.centre[col])) -
                    static_cast<double>(static_cast<float>(minus[col] - f.centre[col]));
      for (int row = 0; row < 3; ++row) {
        EXPECT_NEAR(hess[3 * row + col], (gPlus[row] - gMinus[row]) / step, 1e-4);
      }
    }
  }
}

TEST(BasisFunction, HessianDiffersFromTheGradientsSlopeOnlyByTheWeightMismatch) {
  // The gradient term is Q grad(phi) + w grad(Q). Differentiating it gives
  // the true slope of w where the Hessian term uses grad(phi) again, so
  // Hessian[i][j] = d(gradient[i])/dx_j + (phi_j - w_j) Q_i for every entry,
  // cross terms included.
  std::mt19937 rng(16);
  std::uniform_real_distribution<float> coord(-1.2f, 1.2f);
  const float h = 1.0f / 512.0f;
  int checked = 0;
  for (int i = 0; i < 100; ++i) {
    BasisFunction f = randomRecord(rng);
    f.radius = 2.0f;
    float p[3] = {f.centre[0] + coord(rng), f.centre[1] + coord(rng), f.centre[2] + coord(rng)};
    double d[3];
    for (int a = 0; a < 3; ++a) d[a] = static_cast<float>(p[a] - f.centre[a]);
    double r = distance(d);
    if (r > 1.9 || r < 0.1) continue;
    ++checked;
    double grad[3], hess[9], phiGrad[3], qGrad[3];
    f.derivatives(grad, hess, p[0], p[1], p[2]);
    weightGradient(phiGrad, r, f.radius, d[0], d[1], d[2]);
    f.quadricGradient(qGrad, d[0], d[1], d[2]);
    for (int col = 0; col < 3; ++col) {
      float plus[3] = {p[0], p[1], p[2]};
      float minus[3] = {p[0], p[1], p[2]};
      plus[col] += h;
      minus[col] -= h;
      double dPlus[3], dMinus[3];
      for (int a = 0; a < 3; ++a) {
        dPlus[a] = static_cast<float>(plus[a] - f.centre[a]);
        dMinus[a] = static_cast<float>(minus[a] - f.centre[a]);
      }
      double step = dPlus[col] - dMinus[col];
      double gPlus[3], gMinus[3], unused[9];
      f.derivatives(gPlus, unused, plus[0], plus[1], plus[2]);
      f.derivatives(gMinus, unused, minus[0], minus[1], minus[2]);
      double wSlope = (weight(distance(dPlus), f.radius) - weight(distance(dMinus), f.radius)) / step;
      for (int row = 0; row < 3; ++row) {
        double expected = (gPlus[row] - gMinus[row]) / step + (phiGrad[col] - wSlope) * qGrad[row];
        EXPECT_NEAR(hess[3 * row + col], expected, 2e-3 * (1.0 + std::fabs(expected)))
            << row << "," << col << " r " << r;
      }
    }
  }
  EXPECT_GT(checked, 30);
}

}  // namespace
}  // namespace wendfit
