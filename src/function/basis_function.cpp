#include "function/basis_function.h"

#include <cmath>

// Every expression below keeps the operand order in which the terms are
// written in the record's definition: with contraction off, that order fixes
// the rounding, and the fitted constants (hence the result file) depend on it.

namespace wendfit {

double BasisFunction::quadric(double dx, double dy, double dz) const {
  const float* c = coeff;
  return c[0] * dx * dx + c[1] * dy * dy + c[2] * dz * dz + c[3] * dx * dy + c[4] * dy * dz +
         c[5] * dx * dz + c[6] * dx + c[7] * dy + c[8] * dz + c[9];
}

void BasisFunction::quadricGradient(double out[3], double dx, double dy, double dz) const {
  const float* c = coeff;
  out[0] = 2.0 * c[0] * dx + c[3] * dy + c[5] * dz + c[6];
  out[1] = 2.0 * c[1] * dy + c[3] * dx + c[4] * dz + c[7];
  out[2] = 2.0 * c[2] * dz + c[4] * dy + c[5] * dx + c[8];
}

namespace {

// The constant Hessian of a quadric from its coefficients c0..c5.
void secondOrderHessian(double out[9], const float* c) {
  const double xx = 2.0 * c[0];
  const double yy = 2.0 * c[1];
  const double zz = 2.0 * c[2];
  const double xy = c[3];
  const double yz = c[4];
  const double xz = c[5];
  out[0] = xx; out[1] = xy; out[2] = xz;
  out[3] = xy; out[4] = yy; out[5] = yz;
  out[6] = xz; out[7] = yz; out[8] = zz;
}

}  // namespace

void BasisFunction::quadricHessian(double out[9]) const { secondOrderHessian(out, coeff); }

void BasisFunction::derivatives(double gradient[3], double hessian[9], float x, float y,
                                float z) const {
  // The difference is rounded to float on purpose: every term of the
  // function sees the same single-precision offsets from its centre.
  const float fx = x - centre[0];
  const float fy = y - centre[1];
  const float fz = z - centre[2];
  termDerivatives(gradient, hessian, QuadricCoefficients{coeff, coeff + 6}, radius, fx, fy, fz);
}

bool hasNoSecondOrder(const BasisFunction& f) {
  for (int i = 0; i < 6; ++i) {
    if (f.coeff[i] != 0.0f) return false;
  }
  return true;
}

QuadricCoefficients coefficientsOf(const BasisFunction& f) {
  return QuadricCoefficients{hasNoSecondOrder(f) ? nullptr : f.coeff, f.coeff + 6};
}

void termDerivatives(double gradient[3], double hessian[9], const QuadricCoefficients& c,
                     float R, double dx, double dy, double dz) {
  const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
  // Beyond the support the term vanishes; exactly at the centre the weight's
  // Hessian has a removable 0/0, and the term is left out instead.
  if (static_cast<double>(R) < r || r == 0.0) {
    for (int i = 0; i < 3; ++i) gradient[i] = 0.0;
    for (int i = 0; i < 9; ++i) hessian[i] = 0.0;
    return;
  }
  const double w = weight(r, R);
  double wGrad[3];
  weightGradient(wGrad, r, R, dx, dy, dz);
  double wHess[9];
  weightHessian(wHess, r, R, dx, dy, dz);
  const double q = quadric(c, dx, dy, dz);
  double qGrad[3];
  quadricGradient(qGrad, c, dx, dy, dz);

  for (int i = 0; i < 3; ++i) gradient[i] = q * wGrad[i] + w * qGrad[i];
  if (!c.secondOrder) {
    // The constant Hessian of a first-order quadric is zero; its term
    // w * 0 = +-0 would leave every sum unchanged.
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        hessian[3 * i + j] = q * wHess[3 * i + j] + wGrad[i] * qGrad[j] + wGrad[j] * qGrad[i];
      }
    }
    return;
  }
  double qHess[9];
  secondOrderHessian(qHess, c.secondOrder);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      hessian[3 * i + j] =
          q * wHess[3 * i + j] + wGrad[i] * qGrad[j] + wGrad[j] * qGrad[i] + w * qHess[3 * i + j];
    }
  }
}

void weightHessian(double out[9], double r, float R, double dx, double dy, double dz) {
  const double supportRadius = R;
  const double t = r / supportRadius;
  // a and b are the first and second derivatives of (1 - t)^4 (4 t + 1) in t.
  const double a = -20.0 * t * power<3>(1.0 - t);
  // The square is one correctly rounded product (the compiler has always
  // turned pow(x, 2) into x * x).
  const double b = 20.0 * (4.0 * t - 1.0) * ((1.0 - t) * (1.0 - t));
  const double m = 1.0 / (supportRadius * power<3>(r));
  const double ex = dx / (supportRadius * r);
  const double ey = dy / (supportRadius * r);
  const double ez = dz / (supportRadius * r);
  const double xx = a * (dy * dy + dz * dz) * m + b * ex * ex;
  const double yy = a * (dx * dx + dz * dz) * m + b * ey * ey;
  const double zz = a * (dx * dx + dy * dy) * m + b * ez * ez;
  const double xy = -a * dx * dy * m + b * ex * ey;
  const double xz = -a * dx * dz * m + b * ex * ez;
  const double yz = -a * dy * dz * m + b * ey * ez;
  out[0] = xx; out[1] = xy; out[2] = xz;
  out[3] = xy; out[4] = yy; out[5] = yz;
  out[6] = xz; out[7] = yz; out[8] = zz;
}

}  // namespace wendfit
