#pragma once
// Exact derivatives of the fitted function and the curvature of its level
// sets.
//
// ImplicitFunction::gradient and ::curvatures keep the derivatives the fit
// itself uses, those of the radial function (1 - t)^4 (4 t + 1); they are not
// the slope of the values, and their curvatures come out about half the true
// ones. The operations here differentiate what ImplicitFunction::value sums:
// each record's w(t) Q(d) with w(t) = (1 - t)^6 (35 t^2 + 18 t + 3),
// t = |d| / R. With k(t) = -56 (1 - t)^5 (5 t + 1) / R^2,
//
//   grad w = k d,    Hess w = k I + 1680 (1 - t)^4 / R^4 d d^T,
//
// both smooth at the centre (w is C4 there), so unlike the designed
// curvatures a record centred exactly at the point counts like any other.
//
// Precision follows the value: offsets from a centre rounded to float, terms
// and sums in double, in the order of the value's sum.

#include "function/basis_function.h"
#include "function/implicit_function.h"

namespace wendfit {

// Value term w Q of one record at the float-rounded offset d from its centre
// (|d|^2 = distSq <= R^2), exactly as the value sums it; its gradient and
// Hessian (full symmetric 3x3, row order) are added into the accumulators.
double addExactTerm(double gradient[3], double hessian[9], const QuadricCoefficients& c, float R,
                    double dx, double dy, double dz, double distSq);

// Value, gradient and Hessian of ImplicitFunction::value at one point.
struct ExactDerivatives {
  float value = 0.0f;  // bit for bit what value() returns
  double gradient[3] = {0.0, 0.0, 0.0};
  double hessian[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};

// Outside the box (where value() is the constant offset) gradient and
// Hessian are zero.
ExactDerivatives exactDerivatives(const ImplicitFunction& function, float x, float y, float z);

// Curvature of a level set at a point, taken with the level set's normal
// pointing towards increasing values: a sphere of radius r with the larger
// values outside has mean 1/r, Gaussian 1/r^2 and k1 = k2 = 1/r.
struct LevelSetCurvature {
  double mean = 0.0;
  double gaussian = 0.0;
  double k1 = 0.0;  // k1 >= k2
  double k2 = 0.0;
  // Unit tangent directions of k1 and k2; (direction1, direction2, normal)
  // is right-handed. Arbitrary (but orthonormal) at an umbilic.
  double direction1[3] = {0.0, 0.0, 0.0};
  double direction2[3] = {0.0, 0.0, 0.0};
};

// The curvature from a gradient and a Hessian (symmetric, row order). Where
// the gradient is zero, or so small that its square underflows, the level set
// has no defined shape: every field is 0.
LevelSetCurvature levelSetCurvature(const double gradient[3], const double hessian[9]);

// levelSetCurvature of the exact derivatives at (x, y, z): all 0 outside the
// box, where the value is constant.
LevelSetCurvature exactCurvature(const ImplicitFunction& function, float x, float y, float z);

}  // namespace wendfit
