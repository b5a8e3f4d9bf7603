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

void BasisFunction::quadricHessian(double out[9]) const {
  const double xx = 2.0 * coeff[0];
  const double yy = 2.0 * coeff[1];
  const double zz = 2.0 * coeff[2];
  const double xy = coeff[3];
  const double yz = coeff[4];
  const double xz = coeff[5];
  out[0] = xx; out[1] = xy; out[2] = xz;
  out[3] = xy; out[4] = yy; out[5] = yz;
  out[6] = xz; out[7] = yz; out[8] = zz;
}

void BasisFunction::derivatives(double gradient[3], double hessian[9], float x, float y,
                                float z) const {
  // The difference is rounded to float on purpose: every term of the
  // function sees the same single-precision offsets from its centre.
  const float fx = x - centre[0];
  const float fy = y - centre[1];
  const float fz = z - centre[2];
  const double dx = fx;
  const double dy = fy;
  const double dz = fz;
  const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
  // Beyond the support the term vanishes; exactly at the centre the weight's
  // Hessian has a removable 0/0, and the term is left out instead.
  if (static_cast<double>(radius) < r || r == 0.0) {
    for (int i = 0; i < 3; ++i) gradient[i] = 0.0;
    for (int i = 0; i < 9; ++i) hessian[i] = 0.0;
    return;
  }
  const double w = weight(r, radius);
  double wGrad[3];
  weightGradient(wGrad, r, radius, dx, dy, dz);
  double wHess[9];
  weightHessian(wHess, r, radius, dx, dy, dz);
  const double q = quadric(dx, dy, dz);
  double qGrad[3];
  quadricGradient(qGrad, dx, dy, dz);
  double qHess[9];
  quadricHessian(qHess);

  for (int i = 0; i < 3; ++i) gradient[i] = q * wGrad[i] + w * qGrad[i];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      hessian[3 * i + j] =
          q * wHess[3 * i + j] + wGrad[i] * qGrad[j] + wGrad[j] * qGrad[i] + w * qHess[3 * i + j];
    }
  }
}

double weight(double r, float R) {
  const double supportRadius = R;
  if (supportRadius < r) return 0.0;
  const double t = r / supportRadius;
  return std::pow(1.0 - t, 6) * ((35.0 * t + 18.0) * t + 3.0);
}

void weightGradient(double out[3], double r, float R, double dx, double dy, double dz) {
  const double supportRadius = R;
  if (supportRadius < r) {
    out[0] = out[1] = out[2] = 0.0;
    return;
  }
  const double t = r / supportRadius;
  // Derivative of (1 - t)^4 (4 t + 1), divided by r so that it multiplies d.
  const double k = -20.0 * std::pow(1.0 - t, 3) / (supportRadius * supportRadius);
  out[0] = k * dx;
  out[1] = k * dy;
  out[2] = k * dz;
}

void weightHessian(double out[9], double r, float R, double dx, double dy, double dz) {
  const double supportRadius = R;
  const double t = r / supportRadius;
  // a and b are the first and second derivatives of (1 - t)^4 (4 t + 1) in t.
  const double a = -20.0 * t * std::pow(1.0 - t, 3);
  const double b = 20.0 * (4.0 * t - 1.0) * std::pow(1.0 - t, 2);
  const double m = 1.0 / (supportRadius * std::pow(r, 3));
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
