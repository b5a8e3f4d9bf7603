#include "function/exact_derivatives.h"

#include <cmath>

namespace wendfit {

double addExactTerm(double gradient[3], double hessian[9], const QuadricCoefficients& c, float R,
                    double dx, double dy, double dz, double distSq) {
  const double r = std::sqrt(distSq);
  const double supportRadius = R;
  if (r > supportRadius) return 0.0;
  // The value term is computed as the value computes it, so the two agree
  // bit for bit.
  const double w = weight(r, R);
  const double q = quadric(c, dx, dy, dz);
  const double t = r / supportRadius;
  const double u = 1.0 - t;
  const double u4 = (u * u) * (u * u);
  const double radiusSq = supportRadius * supportRadius;
  // w'(t) = -56 t (1 - t)^5 (5 t + 1); divided by r (and once more by R for
  // the chain rule) it is a polynomial, so grad w = k d has no singularity.
  const double k = -56.0 * (u4 * u) * (5.0 * t + 1.0) / radiusSq;
  // The derivative of k along d, divided by r: the d d^T part of Hess w.
  const double kSlope = 1680.0 * u4 / (radiusSq * radiusSq);
  const double d[3] = {dx, dy, dz};
  double qGrad[3];
  quadricGradient(qGrad, c, dx, dy, dz);
  double wGrad[3];
  for (int i = 0; i < 3; ++i) {
    wGrad[i] = k * d[i];
    gradient[i] += q * wGrad[i] + w * qGrad[i];
  }
  // Constant Hessian of the quadric; zero without second-order coefficients.
  double qHess[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (c.secondOrder) {
    const float* s = c.secondOrder;
    qHess[0] = 2.0 * s[0];
    qHess[4] = 2.0 * s[1];
    qHess[8] = 2.0 * s[2];
    qHess[1] = qHess[3] = s[3];
    qHess[5] = qHess[7] = s[4];
    qHess[2] = qHess[6] = s[5];
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double wHess = (i == j ? k : 0.0) + kSlope * d[i] * d[j];
      hessian[3 * i + j] +=
          q * wHess + wGrad[i] * qGrad[j] + wGrad[j] * qGrad[i] + w * qHess[3 * i + j];
    }
  }
  return w * q;
}

ExactDerivatives exactDerivatives(const ImplicitFunction& function, float x, float y, float z) {
  ExactDerivatives result;
  result.value = function.exactDerivatives(result.gradient, result.hessian, x, y, z);
  return result;
}

namespace {

void cross(double out[3], const double a[3], const double b[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// t^T H u for a symmetric H in row order.
double bilinear(const double t[3], const double hessian[9], const double u[3]) {
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) sum += t[i] * hessian[3 * i + j] * u[j];
  }
  return sum;
}

}  // namespace

LevelSetCurvature levelSetCurvature(const double gradient[3], const double hessian[9]) {
  LevelSetCurvature result;
  const double normSq =
      gradient[0] * gradient[0] + gradient[1] * gradient[1] + gradient[2] * gradient[2];
  if (normSq * normSq == 0.0) return result;
  const double norm = std::sqrt(normSq);
  const double n[3] = {gradient[0] / norm, gradient[1] / norm, gradient[2] / norm};
  // A tangent basis: the axis least aligned with the normal, crossed with it,
  // is never close to zero.
  int axis = 0;
  for (int i = 1; i < 3; ++i) {
    if (std::fabs(n[i]) < std::fabs(n[axis])) axis = i;
  }
  double e[3] = {0.0, 0.0, 0.0};
  e[axis] = 1.0;
  double t1[3];
  cross(t1, e, n);
  const double t1Norm = std::sqrt(t1[0] * t1[0] + t1[1] * t1[1] + t1[2] * t1[2]);
  for (double& v : t1) v /= t1Norm;
  double t2[3];
  cross(t2, n, t1);
  // The shape operator on the tangent plane is the Hessian restricted to it
  // over |grad|: its trace is twice the mean curvature, its determinant the
  // Gaussian curvature, its eigenpairs the principal curvatures and
  // directions.
  const double a = bilinear(t1, hessian, t1) / norm;
  const double b = bilinear(t1, hessian, t2) / norm;
  const double c = bilinear(t2, hessian, t2) / norm;
  result.mean = 0.5 * (a + c);
  result.gaussian = a * c - b * b;
  const double halfGap = 0.5 * (a - c);
  const double spread = std::sqrt(halfGap * halfGap + b * b);
  result.k1 = result.mean + spread;
  result.k2 = result.mean - spread;
  const double angle = 0.5 * std::atan2(2.0 * b, a - c);
  const double cosine = std::cos(angle);
  const double sine = std::sin(angle);
  for (int i = 0; i < 3; ++i) {
    result.direction1[i] = cosine * t1[i] + sine * t2[i];
    result.direction2[i] = -sine * t1[i] + cosine * t2[i];
  }
  return result;
}

LevelSetCurvature exactCurvature(const ImplicitFunction& function, float x, float y, float z) {
  const ExactDerivatives d = exactDerivatives(function, x, y, z);
  return levelSetCurvature(d.gradient, d.hessian);
}

}  // namespace wendfit
