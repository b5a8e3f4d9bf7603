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
double weight(double r, float R);
// (k dx, k dy, k dz) with k = -20 (1 - t)^3 / R^2 for R >= r, zero otherwise.
void weightGradient(double out[3], double r, float R, double dx, double dy, double dz);
// Hessian of the radial function (1 - t)^4 (4 t + 1) at d with |d| = r > 0.
void weightHessian(double out[9], double r, float R, double dx, double dy, double dz);

}  // namespace wendfit
