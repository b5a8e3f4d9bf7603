// Evaluation of ImplicitFunction: value, gradient, both at once, and the
// curvatures of the level set. All four share one descent through the cells
// (of the flattened layout, or of the tree while that is stale) that skips
// every child whose records cannot reach the point.
//
// Precision: offsets from a centre are rounded to float, each term is
// computed in double, sums stay in double and are rounded to float only when
// a value or gradient is returned. The fitted constants depend on these
// values, so the summation order is fixed too: within a cell, the subtotals
// of the visited children in child index order, then the cell's own list.
// The plain values (plainValue, valueAndExactGradient and their group forms)
// keep one running sum in the same visiting order instead (kRunningSum).
//
// Nothing here writes shared state, and only the group evaluation allocates
// (a candidate buffer per thread), so any number of threads may evaluate one
// function at once.

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "function/exact_derivatives.h"
#include "function/batch_terms.h"
#include "function/implicit_function.h"

namespace wendfit {
namespace {

// Offers one record to `term`. The squared distance is tested first, so that
// the square root, the weight and the quadric are only computed for records
// in reach. The test cannot change a result: R^2 of a float R is exact in
// double, and a correctly rounded square root is monotonic with
// sqrt(R^2) = R, so distSq > R^2 implies r >= R. For r > R every term is 0;
// for r = R, t = 1 and every weight factor (1 - t)^k is +0, so the term is +-0.
// Sums start at +0 and adding +-0 to a double never changes it (x + -0 = x,
// and +0 + -0 = +0), so leaving such a term out gives the same bits.
template <typename Term>
inline double visit(Term& term, float x, float y, float z, float cx, float cy, float cz,
                    float radius, const QuadricCoefficients& coefficients) {
  // Offsets are rounded to float per axis and widened for the double
  // arithmetic of the terms.
  const double dx = static_cast<float>(x - cx);
  const double dy = static_cast<float>(y - cy);
  const double dz = static_cast<float>(z - cz);
  const double distSq = dx * dx + dy * dy + dz * dz;
  const double supportRadius = radius;
  if (distSq > supportRadius * supportRadius) return 0.0;
  return term(dx, dy, dz, distSq, radius, coefficients);
}

// The point's cube grown by a cell's maxRadius, in float as the pruning has
// always rounded it. A child is skipped exactly when its cube lies wholly
// outside; touching still visits it.
struct Reach {
  float low[3];
  float high[3];
  Reach(float x, float y, float z, float radius)
      : low{x - radius, y - radius, z - radius}, high{x + radius, y + radius, z + radius} {}
  // The same for the box [boxLow, boxHigh]: for a box that is one point,
  // the same bounds; for a larger box, bounds that hold those of each of
  // its points (float rounding is monotonic).
  Reach(const float boxLow[3], const float boxHigh[3], float radius)
      : low{boxLow[0] - radius, boxLow[1] - radius, boxLow[2] - radius},
        high{boxHigh[0] + radius, boxHigh[1] + radius, boxHigh[2] + radius} {}
  bool misses(const float childLow[3], const float childHigh[3]) const {
    return childLow[0] > high[0] || childLow[1] > high[1] || childLow[2] > high[2] ||
           childHigh[0] < low[0] || childHigh[1] < low[1] || childHigh[2] < low[2];
  }
};

// Visits the cells whose records may reach (x, y, z), starting at `cell`:
// first every child that survives the pruning test, in index order, then the
// cell's own list, newest record first. `term` is called once per record in
// reach and returns its value term; the result is the subtree's value
// subtotal, summed child by child as the cells are left. This descent over
// the tree serves while the layout is stale; descendLayout below visits the
// same cells and records in the same order.
template <typename Term>
double descendTree(const FunctionCell& cell, float x, float y, float z, Term& term) {
  double subtotal = 0.0;
  if (cell.children) {
    // A child is skipped exactly when the point lies outside its cube grown
    // by the largest support radius stored below this cell. Touching the
    // grown cube still visits it.
    const Reach reach(x, y, z, cell.maxRadius);
    for (const std::unique_ptr<FunctionCell>& slot : *cell.children) {
      if (!slot) continue;
      const FunctionCell& child = *slot;
      const float h = child.halfSize;
      const float low[3] = {child.centre[0] - h, child.centre[1] - h, child.centre[2] - h};
      const float high[3] = {child.centre[0] + h, child.centre[1] + h, child.centre[2] + h};
      if (reach.misses(low, high)) continue;
      subtotal += descendTree(child, x, y, z, term);
    }
  }
  for (const FunctionNode* node = cell.functions; node != nullptr; node = node->next) {
    const BasisFunction& f = *node->function;
    subtotal += visit(term, x, y, z, f.centre[0], f.centre[1], f.centre[2], f.radius,
                      coefficientsOf(f));
  }
  return subtotal;
}

struct ValueTerm;
struct GradientTerm;
struct ExactGradientTerm;
struct PlainValueTerm;
struct PlainGradientTerm;

// True when `Term`'s records of a first-order run may go through the batch
// terms of batch_terms.h (same bits, four records at a time).
template <typename Term>
constexpr bool kBatchable = std::is_same<Term, ValueTerm>::value ||
                            std::is_same<Term, GradientTerm>::value ||
                            std::is_same<Term, ExactGradientTerm>::value ||
                            std::is_same<Term, PlainValueTerm>::value ||
                            std::is_same<Term, PlainGradientTerm>::value;

// True for the terms of the values no result file depends on (plainValue,
// valueAndExactGradient): their descent keeps one running sum from the first
// record visited to the last instead of a subtotal per cell, so that a value
// is the same sequence of additions whichever cells the pruning visits, and
// the group evaluation (plainValues), which visits the cells in the same
// order, comes out bit for bit the same.
template <typename Term>
constexpr bool kRunningSum = std::is_same<Term, PlainValueTerm>::value ||
                             std::is_same<Term, ExactGradientTerm>::value;

// `subtotal`: the sum so far for running sums, 0 otherwise.
template <typename Term>
double descendLayout(const EvaluationLayout& layout, int index, float x, float y, float z,
                     Term& term, bool batch, double subtotal = 0.0) {
  const EvaluationLayout::Cell& cell = layout.cells[index];
  if (cell.childCount > 0) {
    const Reach reach(x, y, z, cell.reach);
    const int end = cell.firstChild + cell.childCount;
    for (int c = cell.firstChild; c < end; ++c) {
      const EvaluationLayout::Cell& child = layout.cells[c];
      if (reach.misses(child.low, child.high)) continue;
      if constexpr (kRunningSum<Term>) {
        subtotal = descendLayout(layout, c, x, y, z, term, batch, subtotal);
      } else {
        subtotal += descendLayout(layout, c, x, y, z, term, batch);
      }
    }
  }
  const int first = cell.firstRecord;
  const int end = first + cell.recordCount;
  if constexpr (kBatchable<Term>) {
    if (batch && cell.firstSecondOrder < 0) {
      if constexpr (std::is_same<Term, ValueTerm>::value) {
        return addValueTerms(layout, first, end, x, y, z, subtotal);
      } else if constexpr (std::is_same<Term, PlainValueTerm>::value) {
        return addPlainValueTerms(layout, first, end, x, y, z, subtotal);
      } else if constexpr (std::is_same<Term, PlainGradientTerm>::value) {
        return addPlainGradientTerms(layout, first, end, x, y, z, subtotal, term.sum);
      } else if constexpr (std::is_same<Term, ExactGradientTerm>::value) {
        return addExactGradientTerms(layout, first, end, x, y, z, subtotal, term.sum);
      } else {
        return addGradientTerms(layout, first, end, x, y, z, subtotal, term.sum);
      }
    }
  }
  const float* secondOrder =
      cell.firstSecondOrder < 0 ? nullptr : layout.secondOrder[cell.firstSecondOrder].data();
  for (int i = first; i < end; ++i) {
    const QuadricCoefficients coefficients{secondOrder ? secondOrder + 6 * (i - first) : nullptr,
                                           layout.firstOrder[i].data()};
    subtotal += visit(term, x, y, z, layout.centreX[i], layout.centreY[i], layout.centreZ[i],
                      layout.radius[i], coefficients);
  }
  return subtotal;
}

// Value term of one record in reach of the squared-distance test.
struct ValueTerm {
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) const {
    const double r = std::sqrt(distSq);
    if (r > static_cast<double>(radius)) return 0.0;
    return weight(r, radius) * quadric(c, dx, dy, dz);
  }
};

// Gradient term of one record, added into the descent's accumulators; its
// value term is returned for valueAndGradient.
struct GradientTerm {
  double sum[3] = {0.0, 0.0, 0.0};
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) {
    const double r = std::sqrt(distSq);
    if (r > static_cast<double>(radius)) return 0.0;
    const double w = weight(r, radius);
    double wGrad[3];
    weightGradient(wGrad, r, radius, dx, dy, dz);
    const double q = quadric(c, dx, dy, dz);
    double qGrad[3];
    quadricGradient(qGrad, c, dx, dy, dz);
    for (int i = 0; i < 3; ++i) sum[i] += q * wGrad[i] + w * qGrad[i];
    return w * q;
  }
};

// GradientTerm with (1 - t)^3 and (1 - t)^6 as plain products, in the
// batch lanes' order of operations.
struct PlainGradientTerm {
  double sum[3] = {0.0, 0.0, 0.0};
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) {
    const double r = std::sqrt(distSq);
    const double supportRadius = radius;
    if (r > supportRadius) return 0.0;
    const double t = r / supportRadius;
    const double u = 1.0 - t;
    const double cube = u * u * u;
    const double w = cube * cube * ((35.0 * t + 18.0) * t + 3.0);
    const double k = -20.0 * cube / (supportRadius * supportRadius);
    const double q = quadric(c, dx, dy, dz);
    double qGrad[3];
    quadricGradient(qGrad, c, dx, dy, dz);
    sum[0] += q * (k * dx) + w * qGrad[0];
    sum[1] += q * (k * dy) + w * qGrad[1];
    sum[2] += q * (k * dz) + w * qGrad[2];
    return w * q;
  }
};

// Value term and exact gradient term of one record, with the powers of
// 1 - t formed by multiplication and t as r (1 / R), which spares the group
// evaluation a division per term (no result file depends on these).
struct ExactGradientTerm {
  double sum[3] = {0.0, 0.0, 0.0};
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) {
    const double inverse = 1.0 / static_cast<double>(radius);
    const double t = std::sqrt(distSq) * inverse;
    double u5;
    const double w = plainWeightAt(t, &u5);
    // d/dr of (1 - t)^6 (35 t^2 + 18 t + 3) is -56 t (1 - t)^5 (5 t + 1) / R;
    // divided by r it multiplies d.
    const double k = -56.0 * u5 * (5.0 * t + 1.0) * (inverse * inverse);
    const double q = quadric(c, dx, dy, dz);
    double qGrad[3];
    quadricGradient(qGrad, c, dx, dy, dz);
    sum[0] += q * k * dx + w * qGrad[0];
    sum[1] += q * k * dy + w * qGrad[1];
    sum[2] += q * k * dz + w * qGrad[2];
    return w * q;
  }
};

// The value term of ExactGradientTerm alone, in the same operations.
struct PlainValueTerm {
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) const {
    const double t = std::sqrt(distSq) * (1.0 / static_cast<double>(radius));
    return plainWeightAt(t) * quadric(c, dx, dy, dz);
  }
};

// Outside the box (faces are inside) the function is its offset.
bool outsideBox(const ImplicitFunction& f, float x, float y, float z) {
  return x < f.boxMin()[0] || y < f.boxMin()[1] || z < f.boxMin()[2] || x > f.boxMax()[0] ||
         y > f.boxMax()[1] || z > f.boxMax()[2];
}

// Gradient and Hessian terms of one record, added into the accumulators.
struct DerivativeTerm {
  double gradient[3] = {0.0, 0.0, 0.0};
  double hessian[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double operator()(double dx, double dy, double dz, double, float radius,
                    const QuadricCoefficients& c) {
    double g[3];
    double h[9];
    termDerivatives(g, h, c, radius, dx, dy, dz);
    for (int i = 0; i < 3; ++i) gradient[i] += g[i];
    for (int i = 0; i < 9; ++i) hessian[i] += h[i];
    return 0.0;
  }
};

}  // namespace

template <typename Term>
double ImplicitFunction::descend(float x, float y, float z, Term& term) const {
  if (layout_.empty()) return descendTree(root_, x, y, z, term);
  return descendLayout(layout_, 0, x, y, z, term, batchTermsAvailable());
}

template <typename Term>
float ImplicitFunction::sumOfTerms(float x, float y, float z) const {
  if (outsideBox(*this, x, y, z)) return offset_;
  Term term;
  const double sum = descend(x, y, z, term);
  return static_cast<float>(sum + static_cast<double>(offset_));
}

template <typename Term>
float ImplicitFunction::sumOfTerms(float out[3], float x, float y, float z) const {
  if (outsideBox(*this, x, y, z)) {
    out[0] = out[1] = out[2] = 0.0f;
    return offset_;
  }
  Term term;
  const double sum = descend(x, y, z, term);
  for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(term.sum[i]);
  return static_cast<float>(sum + static_cast<double>(offset_));
}

float ImplicitFunction::value(float x, float y, float z) const {
  return sumOfTerms<ValueTerm>(x, y, z);
}

float ImplicitFunction::plainValue(float x, float y, float z) const {
  return sumOfTerms<PlainValueTerm>(x, y, z);
}

namespace {

// Points evaluated together at most, and how far apart (per axis, in finest
// record radii) they may lie. The candidates of a group are the records that
// reach its box; they hardly grow with the box up to several finest radii
// (most are coarser records that reach every point of it anyway), while
// more points share one gather. Measured on scans near their surface, in
// the fit's and the extraction's orders.
constexpr int kGroupPoints = 128;
constexpr float kGroupWidth = 6.0f;
// Fewer points than this are cheaper one by one (the same bits either way).
constexpr int kSmallestGroup = 4;

// Appends to `out`, in the order in which descendLayout visits records
// (children in index order, then the cell's own run), the records of the
// subtree at `index` that may reach a point of the box [low, high] (see
// gatherGroupRun). Returns false at a cell with second-order records, which
// the group terms do not take.
bool gatherGroupRecords(const EvaluationLayout& layout, int index, const float low[3],
                        const float high[3], std::vector<GroupRecord>& out) {
  const EvaluationLayout::Cell& cell = layout.cells[index];
  if (cell.childCount > 0) {
    const Reach reach(low, high, cell.reach);
    const int end = cell.firstChild + cell.childCount;
    for (int c = cell.firstChild; c < end; ++c) {
      const EvaluationLayout::Cell& child = layout.cells[c];
      if (reach.misses(child.low, child.high)) continue;
      if (!gatherGroupRecords(layout, c, low, high, out)) return false;
    }
  }
  if (cell.recordCount == 0) return true;
  if (cell.firstSecondOrder >= 0) return false;
  gatherGroupRun(layout, cell.firstRecord, cell.firstRecord + cell.recordCount, low, high, out);
  return true;
}

bool insideBox(const ImplicitFunction& f, const float* p) {
  for (int a = 0; a < 3; ++a) {
    if (!(p[a] >= f.boxMin()[a] && p[a] <= f.boxMax()[a])) return false;
  }
  return true;
}

}  // namespace

template <bool kGradient>
void ImplicitFunction::groupValues(const float* xyz, int count, float* values, float* gradients,
                                   bool quick, bool designed) const {
  const bool grouped = !layout_.empty() && batchTermsAvailable();
  // The quick terms take every point in a group, even alone, so that its
  // value never depends on which points came with it.
  quick = quick && grouped && layout_.secondOrder.empty();
  const int smallestGroup = quick ? 1 : kSmallestGroup;
  const float width = kGroupWidth * layout_.finestRadius;
  static thread_local std::vector<GroupRecord> records;
  static thread_local std::vector<QuickRecord> quickRecords;
  // One point as the single-point evaluation computes it.
  const auto alone = [&](int i) {
    const float* p = xyz + 3 * i;
    values[i] = !kGradient ? plainValue(p[0], p[1], p[2])
                : designed ? plainValueAndGradient(gradients + 3 * i, p[0], p[1], p[2])
                           : valueAndExactGradient(gradients + 3 * i, p[0], p[1], p[2]);
  };
  // The group terms have no designed gradient: one point at a time.
  const bool together = grouped && !(designed && !quick);
  int i = 0;
  while (i < count) {
    const float* p = xyz + 3 * i;
    if (!together || !insideBox(*this, p)) {
      alone(i++);
      continue;
    }
    // The group: this point and those after it in the box, as long as their
    // bounding box stays `width` wide. It depends on the points alone.
    float low[3] = {p[0], p[1], p[2]}, high[3] = {p[0], p[1], p[2]};
    int end = i + 1;
    for (; end < count && end - i < kGroupPoints; ++end) {
      const float* q = xyz + 3 * end;
      if (!insideBox(*this, q)) break;
      bool fits = true;
      for (int a = 0; a < 3; ++a) {
        fits = fits && std::max(high[a], q[a]) - std::min(low[a], q[a]) <= width;
      }
      if (!fits) break;
      for (int a = 0; a < 3; ++a) {
        low[a] = std::min(low[a], q[a]);
        high[a] = std::max(high[a], q[a]);
      }
    }
    records.clear();
    if (end - i < smallestGroup || !gatherGroupRecords(layout_, 0, low, high, records)) {
      while (i < end) alone(i++);
      continue;
    }
    const int n = static_cast<int>(records.size());
    if (quick) quickRecordsOf(records, quickRecords);
    for (; i < end; i += kGroupLanes) {
      const int lanes = std::min(kGroupLanes, end - i);
      float x[kGroupLanes], y[kGroupLanes], z[kGroupLanes];
      for (int j = 0; j < lanes; ++j) {
        x[j] = xyz[3 * (i + j)];
        y[j] = xyz[3 * (i + j) + 1];
        z[j] = xyz[3 * (i + j) + 2];
      }
      if (quick) {
        float sums[kGroupLanes], gradientSums[3][kGroupLanes];
        quickGroupTerms(quickRecords.data(), n, x, y, z, lanes, sums, kGradient ? gradientSums : nullptr,
                        designed);
        for (int j = 0; j < lanes; ++j) {
          values[i + j] = sums[j] + offset_;
          bool finite = std::isfinite(values[i + j]);
          if constexpr (kGradient) {
            for (int a = 0; a < 3; ++a) {
              gradients[3 * (i + j) + a] = gradientSums[a][j];
              finite = finite && std::isfinite(gradientSums[a][j]);
            }
          }
          // Terms beyond the float range (coefficients near its end) get
          // the double ones, which still hold them.
          if (!finite) alone(i + j);
        }
        continue;
      }
      double sums[kGroupLanes], gradientSums[3][kGroupLanes];
      if constexpr (kGradient) {
        exactGradientGroupTerms(records.data(), n, x, y, z, lanes, sums, gradientSums);
      } else {
        plainGroupTerms(records.data(), n, x, y, z, lanes, sums);
      }
      for (int j = 0; j < lanes; ++j) {
        values[i + j] = static_cast<float>(sums[j] + static_cast<double>(offset_));
        if constexpr (kGradient) {
          for (int a = 0; a < 3; ++a) gradients[3 * (i + j) + a] = static_cast<float>(gradientSums[a][j]);
        }
      }
    }
    i = end;
  }
}

void ImplicitFunction::plainValues(const float* xyz, int count, float* values) const {
  groupValues<false>(xyz, count, values, nullptr, false);
}

void ImplicitFunction::valuesAndExactGradients(const float* xyz, int count, float* values,
                                               float* gradients) const {
  groupValues<true>(xyz, count, values, gradients, false);
}

void ImplicitFunction::plainValues(const float* xyz, int count, float* values, bool quick) const {
  groupValues<false>(xyz, count, values, nullptr, quick);
}

void ImplicitFunction::valuesAndExactGradients(const float* xyz, int count, float* values,
                                               float* gradients, bool quick) const {
  groupValues<true>(xyz, count, values, gradients, quick);
}

void ImplicitFunction::quickValuesAndGradients(const float* xyz, int count, float* values,
                                               float* gradients, bool designed) const {
  groupValues<true>(xyz, count, values, gradients, true, designed);
}

void ImplicitFunction::gradient(float out[3], float x, float y, float z) const {
  valueAndGradient(out, x, y, z);
}

float ImplicitFunction::valueAndGradient(float out[3], float x, float y, float z) const {
  return sumOfTerms<GradientTerm>(out, x, y, z);
}

float ImplicitFunction::valueAndExactGradient(float out[3], float x, float y, float z) const {
  return sumOfTerms<ExactGradientTerm>(out, x, y, z);
}

float ImplicitFunction::plainValueAndGradient(float out[3], float x, float y, float z) const {
  return sumOfTerms<PlainGradientTerm>(out, x, y, z);
}

void ImplicitFunction::curvatures(double* mean, double* gaussian, float x, float y,
                                  float z) const {
  // No box test and no offset: the shape of the level set is defined wherever
  // basis functions reach, inside the box or not.
  DerivativeTerm term;
  descend(x, y, z, term);
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

namespace {

// Value term of one record, with the exact derivatives of that term added
// into the accumulators.
struct ExactTerm {
  double gradient[3] = {0.0, 0.0, 0.0};
  double hessian[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double operator()(double dx, double dy, double dz, double distSq, float radius,
                    const QuadricCoefficients& c) {
    return addExactTerm(gradient, hessian, c, radius, dx, dy, dz, distSq);
  }
};

}  // namespace

float ImplicitFunction::exactDerivatives(double gradient[3], double hessian[9], float x, float y,
                                         float z) const {
  ExactTerm term;
  float result = offset_;
  if (!outsideBox(*this, x, y, z)) {
    const double sum = descend(x, y, z, term);
    result = static_cast<float>(sum + static_cast<double>(offset_));
  }
  for (int i = 0; i < 3; ++i) gradient[i] = term.gradient[i];
  for (int i = 0; i < 9; ++i) hessian[i] = term.hessian[i];
  return result;
}

}  // namespace wendfit
