#include "solver/sparse_matrix.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <new>

#include "core/error.h"

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

// Error estimate of itol 3 and 4 from the change of the preconditioned
// residual norm (znrm against the previous zm1nrm). Returns false when the
// estimate is too unreliable to be shown or tested (err then holds
// znrm / bnrm), true when err is the relative error of the solution.
bool estimateSolutionError(int n, int itol, double ak, const double* p, const double* x,
                           double znrm, double zm1nrm, double bnrm, double* err) {
  const double change = std::fabs(zm1nrm - znrm);
  if (change > 1.0e-14 * znrm) {
    *err = std::fabs(ak) * SparseMatrix::norm(n, p, itol) / change * znrm;
    const double xnrm = SparseMatrix::norm(n, x, itol);
    if (*err <= 0.5 * xnrm) {
      *err /= xnrm;
      return true;
    }
  }
  *err = znrm / bnrm;
  return false;
}

}  // namespace

void solverError(const std::string& message) { throw SolverError(message); }

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// Below this, huge-page alignment would waste more than it saves.
constexpr std::size_t kLargeBlock = 4 * kHugePage;
}  // namespace

void* allocateLargeBlock(std::size_t bytes) {
  if (bytes < kLargeBlock) return ::operator new(bytes);
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < bytes) throw std::bad_alloc();
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (!block) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Advice only: where the kernel has no huge pages the block works as is.
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}

void freeLargeBlock(void* block, std::size_t bytes) noexcept {
  if (bytes < kLargeBlock) {
    ::operator delete(block);
  } else {
    std::free(block);
  }
}

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

namespace {

template <typename Value>
void rowProduct(const Value* values, const int* indices, const double* x, double* result, int n) {
  if (indices[1] != n + 2) solverError("dsprsax: mismatched vector and matrix");
  // Each row sums its own entries in storage order, so the rows may run on
  // any number of threads and give the same doubles.
#pragma omp parallel for schedule(static) if (solverRunsParallel(indices, n))
  for (int i = 1; i <= n; ++i) {
    double sum = values[i] * x[i];
    for (int k = indices[i]; k < indices[i + 1]; ++k) sum += values[k] * x[indices[k]];
    result[i] = sum;
  }
}

}  // namespace

void dsprsax(const double* values, const int* indices, const double* x, double* result, int n) {
  rowProduct(values, indices, x, result, n);
}

void dsprsax(const float* values, const int* indices, const double* x, double* result, int n) {
  rowProduct(values, indices, x, result, n);
}

void dsprstx(const double* values, const int* indices, const double* x, double* result, int n) {
  if (indices[1] != n + 2) solverError("mismatched vector and matrix in dsprstx");
  for (int i = 1; i <= n; ++i) result[i] = values[i] * x[i];
  for (int i = 1; i <= n; ++i) {
    for (int k = indices[i]; k < indices[i + 1]; ++k) result[indices[k]] += values[k] * x[i];
  }
}

void SparseMatrix::buildTranspose(int n) {
  transposeStart_.assign(static_cast<size_t>(n) + 2, 0);
  const int first = n + 2;
  const int end = indices[n + 1];
  for (int k = first; k < end; ++k) ++transposeStart_[indices[k] + 1];
  for (int j = 1; j <= n; ++j) transposeStart_[j + 1] += transposeStart_[j];
  transposePosition_.resize(static_cast<size_t>(end - first));
  transposeRow_.resize(static_cast<size_t>(end - first));
  std::vector<int> next(transposeStart_.begin(), transposeStart_.end() - 1);
  for (int i = 1; i <= n; ++i) {
    for (int k = indices[i]; k < indices[i + 1]; ++k) {
      const int slot = next[indices[k]]++;
      transposePosition_[slot] = k;
      transposeRow_[slot] = i;
    }
  }
}

void SparseMatrix::multiply(int n, const double* x, double* result, int transpose) const {
  if (transpose && !transposeStart_.empty()) {
    if (indices[1] != n + 2) solverError("mismatched vector and matrix in dsprstx");
    const double* v = values.data();
    const bool parallel = runsParallel(n);
#pragma omp parallel for schedule(static) if (parallel)
    for (int j = 1; j <= n; ++j) {
      double sum = v[j] * x[j];
      for (int e = transposeStart_[j]; e < transposeStart_[j + 1]; ++e) {
        sum += v[transposePosition_[e]] * x[transposeRow_[e]];
      }
      result[j] = sum;
    }
  } else if (transpose) {
    dsprstx(values.data(), indices.data(), x, result, n);
  } else {
    dsprsax(values.data(), indices.data(), x, result, n);
  }
}

void SparseMatrix::precondition(int n, const double* b, double* x, int /*transpose*/) const {
  const bool parallel = runsParallel(n);
#pragma omp parallel for schedule(static) if (parallel)
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

  // On a terminal the self-overwriting line is only useful if it shows up
  // as it changes; into a file or pipe it is left to the stream's buffer.
  const bool live = console && isatty(fileno(console));
  auto showProgress = [&]() {
    if (!console) return;
    std::fprintf(console, "%siter=%4d err=%12.6f", kProgressRewind, *iter, *err / errorScale);
    if (live) std::fflush(console);
  };
  auto finish = [&]() {
    if (console) {
      std::fputs("\n", console);
      std::fflush(console);
    }
  };

  *iter = 0;
  multiply(n, x, r, 0);
  const bool parallel = runsParallel(n);
  // The product above has checked the storage; the transpose product of a
  // general matrix then runs as a parallel gather.
  if (shadowed) buildTranspose(n);
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
#pragma omp parallel for schedule(static) if (parallel)
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
    // The updates and the preconditioning z = M^-1 r in one pass over the
    // vectors (each entry's arithmetic is exactly that of precondition()).
    const double* diagonal = values.data();
#pragma omp parallel for schedule(static) if (parallel)
    for (int i = 1; i <= n; ++i) {
      x[i] += ak * p[i];
      r[i] -= ak * z[i];
      if (shadowed) rt[i] -= ak * zt[i];
      z[i] = diagonal[i] != 0.0 ? r[i] / diagonal[i] : r[i];
    }
    if (itol <= 2) {
      *err = norm(n, r, itol) / bnrm;
    } else {
      znrm = norm(n, z, itol);
      if (!estimateSolutionError(n, itol, ak, p, x, znrm, zm1nrm, bnrm, err)) continue;
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
