#pragma once
// BasisFunction: one compactly supported term of the implicit function, a
// quadric in d = point - centre times the radial weight
// w(t) = (1 - t)^6 (35 t^2 + 18 t + 3), t = |d| / radius, zero beyond radius.
//
// Quadric coefficient order (coeff[0..9]):
//   dx^2, dy^2, dz^2, dx*dy, dy*dz, dx*dz, dx, dy, dz, 1
// Mixed terms carry their coefficient once.
//
// Precision: every field is float; the terms below are evaluated in double
// from float inputs. All derivatives use the derivatives of the radial
// function (1 - t)^4 (4 t + 1), not of the w used for values, so a gradient is
// deliberately not the exact derivative of the value.

#include "function/exact_power.h"

namespace wendfit {

struct BasisFunction {
  float centre[3];
  float coeff[10];
  float radius;
  int level;

  // Q(d), in double.
  double quadric(double dx, double dy, double dz) const;
  // Gradient of Q at d.
  void quadricGradient(double out[3], double dx, double dy, double dz) const;
  // Constant Hessian of Q, full symmetric 3x3 in row order xx xy xz yx yy yz zx zy zz.
  void quadricHessian(double out[9]) const;
  // Gradient and Hessian of this record's term at (x, y, z); both zero beyond
  // the support radius and exactly at the centre.
  void derivatives(double gradient[3], double hessian[9], float x, float y, float z) const;
};

// w(r / R) for R >= r, 0 for R < r. Evaluated in double.
inline double weight(double r, float R) {
  const double supportRadius = R;
  if (supportRadius < r) return 0.0;
  const double t = r / supportRadius;
  return power<6>(1.0 - t) * ((35.0 * t + 18.0) * t + 3.0);
}

// The weight at t = r / R (t <= 1) with (1 - t)^6 as the plain product
// (1 - t)^5 (1 - t): within a few units in the last place of weight() at
// about half its cost, for values that no result file depends on. `u5`,
// when given, receives (1 - t)^5, which the weight's derivative needs.
inline double plainWeightAt(double t, double* u5 = nullptr) {
  const double u = 1.0 - t;
  const double u2 = u * u;
  const double fifth = u2 * u2 * u;
  if (u5) *u5 = fifth;
  return fifth * u * ((35.0 * t + 18.0) * t + 3.0);
}

// (k dx, k dy, k dz) with k = -20 (1 - t)^3 / R^2 for R >= r, zero otherwise.
inline void weightGradient(double out[3], double r, float R, double dx, double dy, double dz) {
  const double supportRadius = R;
  if (supportRadius < r) {
    out[0] = out[1] = out[2] = 0.0;
    return;
  }
  const double t = r / supportRadius;
  // Derivative of (1 - t)^4 (4 t + 1), divided by r so that it multiplies d.
  const double k = -20.0 * power<3>(1.0 - t) / (supportRadius * supportRadius);
  out[0] = k * dx;
  out[1] = k * dy;
  out[2] = k * dz;
}

// Hessian of the radial function (1 - t)^4 (4 t + 1) at d with |d| = r > 0.
void weightHessian(double out[9], double r, float R, double dx, double dy, double dz);

// A record's quadric coefficients as the evaluation reads them: `firstOrder`
// points to c6..c9; `secondOrder` to c0..c5, or is nullptr when all six are
// zero (the fitter only ever sets c6..c9). Both pointers are borrowed.
struct QuadricCoefficients {
  const float* secondOrder;
  const float* firstOrder;
};

// True when c0..c5 of `f` are all zero (-0 included).
bool hasNoSecondOrder(const BasisFunction& f);
// The coefficients of `f`, with secondOrder = nullptr when hasNoSecondOrder.
QuadricCoefficients coefficientsOf(const BasisFunction& f);

// Q(d) and its gradient. Without second-order coefficients the six vanishing
// products are left out: each is +-0 for the finite offsets of a record in
// reach, and adding +-0 to a nonzero partial sum is exact, so the result can
// differ from the full sum only in the sign of a zero, which no sum that
// starts at +0 ever shows.
inline double quadric(const QuadricCoefficients& c, double dx, double dy, double dz) {
  const float* l = c.firstOrder;
  if (!c.secondOrder) return l[0] * dx + l[1] * dy + l[2] * dz + l[3];
  const float* s = c.secondOrder;
  return s[0] * dx * dx + s[1] * dy * dy + s[2] * dz * dz + s[3] * dx * dy + s[4] * dy * dz +
         s[5] * dx * dz + l[0] * dx + l[1] * dy + l[2] * dz + l[3];
}

inline void quadricGradient(double out[3], const QuadricCoefficients& c, double dx, double dy,
                            double dz) {
  const float* l = c.firstOrder;
  if (!c.secondOrder) {
    out[0] = l[0];
    out[1] = l[1];
    out[2] = l[2];
    return;
  }
  const float* s = c.secondOrder;
  out[0] = 2.0 * s[0] * dx + s[3] * dy + s[5] * dz + l[0];
  out[1] = 2.0 * s[1] * dy + s[3] * dx + s[4] * dz + l[1];
  out[2] = 2.0 * s[2] * dz + s[4] * dy + s[5] * dx + l[2];
}

// Gradient and Hessian of one record's term at the float-rounded offset d
// from its centre, as BasisFunction::derivatives defines them.
void termDerivatives(double gradient[3], double hessian[9], const QuadricCoefficients& c,
                     float R, double dx, double dy, double dz);

}  // namespace wendfit
