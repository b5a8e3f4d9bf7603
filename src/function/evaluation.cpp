// Evaluation of ImplicitFunction: value, gradient, both at once, and the
// curvatures of the level set. All four share one descent through the cell
// tree that skips every child whose records cannot reach the point.
//
// Precision: offsets from a centre are rounded to float, each term is
// computed in double, sums stay in double and are rounded to float only when
// a value or gradient is returned. The fitted constants depend on these
// values, so the summation order is fixed too: within a cell, the subtotals
// of the visited children in child index order, then the cell's own list.
//
// Nothing here allocates or writes shared state, so any number of threads may
// evaluate one function at once.

#include <cmath>

#include "function/implicit_function.h"

namespace wendfit {
namespace {

// Visits the cells whose records may reach (x, y, z), starting at `cell`:
// first every child that survives the pruning test, in index order, then the
// cell's own list, newest record first. `term` is called once per record of
// a visited cell and returns its value term; the result is the subtree's
// value subtotal, summed child by child as the cells are left.
template <typename Term>
double descend(const FunctionCell& cell, float x, float y, float z, Term& term) {
  double subtotal = 0.0;
  if (cell.children) {
    // A child is skipped exactly when the point lies outside its cube grown
    // by the largest support radius stored below this cell. Touching the
    // grown cube still visits it.
    const float reach = cell.maxRadius;
    const float highX = x + reach;
    const float highY = y + reach;
    const float highZ = z + reach;
    const float lowX = x - reach;
    const float lowY = y - reach;
    const float lowZ = z - reach;
    for (const std::unique_ptr<FunctionCell>& slot : *cell.children) {
      if (!slot) continue;
      const FunctionCell& child = *slot;
      if (child.centre[0] - child.halfSize > highX) continue;
      if (child.centre[1] - child.halfSize > highY) continue;
      if (child.centre[2] - child.halfSize > highZ) continue;
      if (child.centre[0] + child.halfSize < lowX) continue;
      if (child.centre[1] + child.halfSize < lowY) continue;
      if (child.centre[2] + child.halfSize < lowZ) continue;
      subtotal += descend(child, x, y, z, term);
    }
  }
  for (const FunctionNode* node = cell.functions; node != nullptr; node = node->next) {
    subtotal += term(*node->function);
  }
  return subtotal;
}

// Offset of the point from a record's centre, rounded to float per axis and
// widened for the double arithmetic of the terms.
struct Offset {
  double dx, dy, dz;
  Offset(const BasisFunction& f, float x, float y, float z)
      : dx(static_cast<float>(x - f.centre[0])),
        dy(static_cast<float>(y - f.centre[1])),
        dz(static_cast<float>(z - f.centre[2])) {}
};

// Value term of one record. The squared distance is tested first so that
// the square root and the weight are only computed for records in reach.
struct ValueTerm {
  float x, y, z;
  double operator()(const BasisFunction& f) const {
    const Offset d(f, x, y, z);
    const double distSq = d.dx * d.dx + d.dy * d.dy + d.dz * d.dz;
    const double supportRadius = f.radius;
    if (distSq > supportRadius * supportRadius) return 0.0;
    const double r = std::sqrt(distSq);
    if (r > supportRadius) return 0.0;
    return weight(r, f.radius) * f.quadric(d.dx, d.dy, d.dz);
  }
};

// Gradient term of one record, added into the descent's accumulators; its
// value term is returned for valueAndGradient.
struct GradientTerm {
  float x, y, z;
  double sum[3] = {0.0, 0.0, 0.0};
  double operator()(const BasisFunction& f) {
    const Offset d(f, x, y, z);
    const double r = std::sqrt(d.dx * d.dx + d.dy * d.dy + d.dz * d.dz);
    if (r > static_cast<double>(f.radius)) return 0.0;
    const double w = weight(r, f.radius);
    double wGrad[3];
    weightGradient(wGrad, r, f.radius, d.dx, d.dy, d.dz);
    const double q = f.quadric(d.dx, d.dy, d.dz);
    double qGrad[3];
    f.quadricGradient(qGrad, d.dx, d.dy, d.dz);
    for (int i = 0; i < 3; ++i) sum[i] += q * wGrad[i] + w * qGrad[i];
    return w * q;
  }
};

// Gradient and Hessian terms of one record, added into the accumulators.
struct DerivativeTerm {
  float x, y, z;
  double gradient[3] = {0.0, 0.0, 0.0};
  double hessian[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double operator()(const BasisFunction& f) {
    double g[3];
    double h[9];
    f.derivatives(g, h, x, y, z);
    for (int i = 0; i < 3; ++i) gradient[i] += g[i];
    for (int i = 0; i < 9; ++i) hessian[i] += h[i];
    return 0.0;
  }
};

}  // namespace

float ImplicitFunction::value(float x, float y, float z) const {
  if (x < boxMin[0] || y < boxMin[1] || z < boxMin[2] || x > boxMax[0] || y > boxMax[1] ||
      z > boxMax[2]) {
    return offset;
  }
  ValueTerm term{x, y, z};
  const double sum = descend(root, x, y, z, term);
  return static_cast<float>(sum + static_cast<double>(offset));
}

void ImplicitFunction::gradient(float out[3], float x, float y, float z) const {
  valueAndGradient(out, x, y, z);
}

float ImplicitFunction::valueAndGradient(float out[3], float x, float y, float z) const {
  if (x < boxMin[0] || y < boxMin[1] || z < boxMin[2] || x > boxMax[0] || y > boxMax[1] ||
      z > boxMax[2]) {
    out[0] = out[1] = out[2] = 0.0f;
    return offset;
  }
  GradientTerm term{x, y, z};
  const double sum = descend(root, x, y, z, term);
  for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(term.sum[i]);
  return static_cast<float>(sum + static_cast<double>(offset));
}

void ImplicitFunction::curvatures(double* mean, double* gaussian, float x, float y,
                                  float z) const {
  // No box test and no offset: the shape of the level set is defined wherever
  // basis functions reach, inside the box or not.
  DerivativeTerm term{x, y, z};
  descend(root, x, y, z, term);
  const double gx = term.gradient[0];
  const double gy = term.gradient[1];
  const double gz = term.gradient[2];
  const double* h = term.hessian;
  const double hxx = h[0], hxy = h[1], hxz = h[2], hyy = h[4], hyz = h[5], hzz = h[8];

  const double normSq = gx * gx + gy * gy + gz * gz;
  // Where the summed gradient vanishes (for example beyond every support) the
  // level set has no defined shape; report a flat point instead of 0/0. The
  // test on normSq² also catches gradients so small that the denominators
  // underflow to zero.
  if (normSq * normSq == 0.0) {
    *mean = 0.0;
    *gaussian = 0.0;
    return;
  }
  *mean = 0.5 *
          ((gy * gy + gz * gz) * hxx + (gx * gx + gz * gz) * hyy + (gx * gx + gy * gy) * hzz -
           2.0 * (gx * gy * hxy + gx * gz * hxz + gy * gz * hyz)) /
          (normSq * std::sqrt(normSq));
  *gaussian = (gx * gx * (hyy * hzz - hyz * hyz) + gy * gy * (hxx * hzz - hxz * hxz) +
               gz * gz * (hxx * hyy - hxy * hxy) +
               2.0 * (gy * gz * (hxy * hxz - hxx * hyz) + gx * gz * (hxy * hyz - hxz * hyy) +
                      gx * gy * (hxz * hyz - hxy * hzz))) /
              (normSq * normSq);
}

}  // namespace wendfit
