#include "solver/sparse_matrix.h"

#include <cmath>
#include <new>

#include "io/error.h"

namespace wendfit {

namespace {

// Moves the cursor back over the previous progress text so that each
// iteration overwrites it in place.
constexpr const char* kProgressRewind = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";

double dot(int n, const double* a, const double* b) {
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace

void solverError(const std::string& message) { throw SolverError(message); }

std::vector<double> dvector(int n) {
  if (n < -1) solverError("allocation failure in dvector()");
  try {
    return std::vector<double>(static_cast<size_t>(n) + 1);
  } catch (const std::bad_alloc&) {
    solverError("allocation failure in dvector()");
  } catch (const std::length_error&) {
    solverError("allocation failure in dvector()");
  }
}

void dsprsax(const double* values, const int* indices, const double* x, double* result, int n) {
  if (indices[1] != n + 2) solverError("dsprsax: mismatched vector and matrix");
  for (int i = 1; i <= n; ++i) {
    double sum = values[i] * x[i];
    for (int k = indices[i]; k < indices[i + 1]; ++k) sum += values[k] * x[indices[k]];
    result[i] = sum;
  }
}

void dsprstx(const double* values, const int* indices, const double* x, double* result, int n) {
  if (indices[1] != n + 2) solverError("mismatched vector and matrix in dsprstx");
  for (int i = 1; i <= n; ++i) result[i] = values[i] * x[i];
  for (int i = 1; i <= n; ++i) {
    for (int k = indices[i]; k < indices[i + 1]; ++k) result[indices[k]] += values[k] * x[i];
  }
}

void SparseMatrix::multiply(int n, const double* x, double* result, int transpose) const {
  if (transpose) {
    dsprstx(values.data(), indices.data(), x, result, n);
  } else {
    dsprsax(values.data(), indices.data(), x, result, n);
  }
}

void SparseMatrix::precondition(int n, const double* b, double* x, int /*transpose*/) const {
  for (int i = 1; i <= n; ++i) x[i] = values[i] != 0.0 ? b[i] / values[i] : b[i];
}

double SparseMatrix::norm(int n, const double* v, int itol) {
  if (itol <= 3) return std::sqrt(dot(n, v, v));
  if (n < 1) return 0.0;
  // Strictly larger replaces, so the first of equal entries wins.
  double largest = std::fabs(v[1]);
  for (int i = 2; i <= n; ++i) {
    if (std::fabs(v[i]) > largest) largest = std::fabs(v[i]);
  }
  return largest;
}

// Preconditioned biconjugate gradient iteration. Beyond the classic method it
// stops early in two situations where the classic one would only produce
// NaNs: a zero right-hand side (its exact solution is x = 0, which is
// returned at once; this also covers an empty system) and a zero denominator
// bkden or akden (the iteration cannot continue; x keeps the last finite
// iterate and err the current residual estimate).
void SparseMatrix::linbcg(int n, const double* b, double* x, int itol, double tol,
                          int maxIterations, int* iter, double* err) {
  if (itol < 1 || itol > 4) solverError("illegal itol in linbcg");
  // For a symmetric matrix the shadow vectors (p~, r~, z~) equal p, r and z
  // bit for bit at every step (A^T y and A y add the same terms in the same
  // order), so they share storage and their updates are skipped.
  const bool shadowed = !symmetric;
  std::vector<double> pv = dvector(n), ptv = dvector(shadowed ? n : 0), rv = dvector(n),
                      rtv = dvector(shadowed ? n : 0), zv = dvector(n), ztv = dvector(shadowed ? n : 0);
  double* p = pv.data();
  double* pt = shadowed ? ptv.data() : p;
  double* r = rv.data();
  double* rt = shadowed ? rtv.data() : r;
  double* z = zv.data();
  double* zt = shadowed ? ztv.data() : z;

  auto showProgress = [&]() {
    if (console) std::fprintf(console, "%siter=%4d err=%12.6f", kProgressRewind, *iter, *err / errorScale);
  };
  auto finish = [&]() {
    if (console) {
      std::fputs("\n", console);
      std::fflush(console);
    }
  };

  *iter = 0;
  multiply(n, x, r, 0);
  for (int i = 1; i <= n; ++i) {
    r[i] = b[i] - r[i];
    if (shadowed) rt[i] = r[i];
  }
  double bnrm = 0.0;
  double znrm = 0.0;
  if (itol == 1) {
    bnrm = norm(n, b, itol);
  } else {
    precondition(n, b, z, 0);
    bnrm = norm(n, z, itol);
    if (itol >= 3) {
      precondition(n, r, z, 0);
      znrm = norm(n, z, itol);
    }
  }
  if (bnrm == 0.0) {
    for (int i = 1; i <= n; ++i) x[i] = 0.0;
    *err = 0.0;
    showProgress();
    finish();
    return;
  }
  precondition(n, r, z, 0);

  double bkden = 1.0;
  bool brokeDown = false;
  while (*iter <= maxIterations) {
    ++*iter;
    const double zm1nrm = znrm;
    if (shadowed) precondition(n, rt, zt, 1);
    const double bknum = dot(n, z, rt);
    if (*iter == 1) {
      for (int i = 1; i <= n; ++i) {
        p[i] = z[i];
        if (shadowed) pt[i] = zt[i];
      }
    } else {
      if (bkden == 0.0) {
        brokeDown = true;
        break;
      }
      const double bk = bknum / bkden;
      for (int i = 1; i <= n; ++i) {
        p[i] = bk * p[i] + z[i];
        if (shadowed) pt[i] = bk * pt[i] + zt[i];
      }
    }
    bkden = bknum;
    multiply(n, p, z, 0);
    const double akden = dot(n, z, pt);
    if (akden == 0.0) {
      brokeDown = true;
      break;
    }
    const double ak = bknum / akden;
    if (shadowed) multiply(n, pt, zt, 1);
    for (int i = 1; i <= n; ++i) {
      x[i] += ak * p[i];
      r[i] -= ak * z[i];
      if (shadowed) rt[i] -= ak * zt[i];
    }
    precondition(n, r, z, 0);
    if (itol <= 2) {
      *err = norm(n, r, itol) / bnrm;
    } else {
      znrm = norm(n, z, itol);
      const double change = std::fabs(zm1nrm - znrm);
      if (change > 1.0e-14 * znrm) {
        *err = std::fabs(ak) * norm(n, p, itol) / change * znrm;
        const double xnrm = norm(n, x, itol);
        if (*err <= 0.5 * xnrm) {
          *err /= xnrm;
        } else {
          *err = znrm / bnrm;
          continue;
        }
      } else {
        *err = znrm / bnrm;
        continue;
      }
    }
    showProgress();
    if (*err <= tol) {
      finish();
      return;
    }
  }
  if (brokeDown) {
    // The breaking iteration changed nothing, so it does not count. Report
    // the residual of the iterate kept in x (r was last updated together
    // with it) and close the progress line when that iterate is good enough.
    --*iter;
    if (itol <= 2) {
      *err = norm(n, r, itol) / bnrm;
    } else {
      precondition(n, r, z, 0);
      *err = norm(n, z, itol) / bnrm;
    }
    showProgress();
    if (*err <= tol) finish();
  }
}

}  // namespace wendfit
