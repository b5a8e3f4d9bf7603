#include "solver/sparse_matrix.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

// A dense n x n matrix (row major, 0-based) packed into row-indexed storage;
// off-diagonal zeros are left out and each row's entries are shuffled, since
// the solver must not depend on the column order within a row.
SparseMatrix pack(const std::vector<double>& dense, int n, std::mt19937* shuffle = nullptr) {
  SparseMatrix matrix;
  matrix.console = nullptr;
  matrix.values.assign(n + 2, 0.0);
  matrix.indices.assign(n + 2, 0);
  matrix.indices[1] = n + 2;
  for (int i = 0; i < n; ++i) {
    matrix.values[i + 1] = dense[i * n + i];
    std::vector<int> columns;
    for (int j = 0; j < n; ++j) {
      if (j != i && dense[i * n + j] != 0.0) columns.push_back(j);
    }
    if (shuffle) std::shuffle(columns.begin(), columns.end(), *shuffle);
    for (int j : columns) {
      matrix.values.push_back(dense[i * n + j]);
      matrix.indices.push_back(j + 1);
    }
    matrix.indices[i + 2] = static_cast<int>(matrix.indices.size());
  }
  return matrix;
}

// Gaussian elimination with partial pivoting; returns x (0-based).
std::vector<double> denseSolve(std::vector<double> a, std::vector<double> b, int n) {
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r) {
      if (std::fabs(a[r * n + c]) > std::fabs(a[pivot * n + c])) pivot = r;
    }
    for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < n; ++r) {
      const double f = a[r * n + c] / a[c * n + c];
      for (int k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n);
  for (int r = n - 1; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < n; ++k) s -= a[r * n + k] * x[k];
    x[r] = s / a[r * n + r];
  }
  return x;
}

using Capture = test::ConsoleCapture;

const std::string kRewind(29, '\b');

std::string progress(int iter, double shownError) {
  char text[64];
  std::snprintf(text, sizeof text, "iter=%4d err=%12.6f", iter, shownError);
  return kRewind + text;
}

TEST(SparseMatrix, ProductsUseTheMatrixAndItsTranspose) {
  // 2 x 2 with the single off-diagonal entry A(1, 2) = c.
  SparseMatrix m = pack({2.0, 5.0, 0.0, 3.0}, 2);
  const double x[] = {0.0, 7.0, 11.0};
  double ax[3] = {0, 0, 0};
  double atx[3] = {0, 0, 0};
  m.multiply(2, x, ax, 0);
  m.multiply(2, x, atx, 1);
  EXPECT_EQ(ax[1], 2.0 * 7.0 + 5.0 * 11.0);
  EXPECT_EQ(ax[2], 3.0 * 11.0);
  EXPECT_EQ(atx[1], 2.0 * 7.0);
  EXPECT_EQ(atx[2], 3.0 * 11.0 + 5.0 * 7.0);
}

TEST(SparseMatrix, TransposeGatherAddsInTheScatterOrderOnAnyThreadCount) {
  // Large enough for the parallel paths; random columns in random order
  // within each row, so that the scatter's addition order is not trivial.
  const int n = 6000;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::uniform_int_distribution<int> column(1, n);
  SparseMatrix m;
  m.console = nullptr;
  m.values.assign(n + 2, 0.0);
  m.indices.assign(n + 2, 0);
  m.indices[1] = n + 2;
  for (int i = 1; i <= n; ++i) {
    m.values[i] = 1.0 + value(rng);
    for (int e = 0; e < 7; ++e) {
      int j = column(rng);
      if (j == i) continue;
      m.values.push_back(value(rng) * 1e3);
      m.indices.push_back(j);
    }
    m.indices[i + 1] = static_cast<int>(m.indices.size());
  }
  std::vector<double> x(n + 1);
  for (int i = 1; i <= n; ++i) x[i] = value(rng);
  std::vector<double> scattered(n + 1), gathered(n + 1);
  const long savedEntries = solverParallelEntries;
  solverParallelEntries = 1;
  dsprstx(m.values.data(), m.indices.data(), x.data(), scattered.data(), n);
  m.buildTranspose(n);
  for (int threads : {1, 2, 3}) {
    omp_set_num_threads(threads);
    std::fill(gathered.begin(), gathered.end(), 0.0);
    m.multiply(n, x.data(), gathered.data(), 1);
    for (int i = 1; i <= n; ++i) ASSERT_EQ(gathered[i], scattered[i]) << "row " << i << ", " << threads << " threads";
  }
  // Whole solves: every iterate on two threads equals the one-thread run.
  std::vector<double> b(n + 1);
  for (int i = 1; i <= n; ++i) b[i] = value(rng);
  auto solve = [&](int threads, long parallelEntries) {
    omp_set_num_threads(threads);
    solverParallelEntries = parallelEntries;
    SparseMatrix copy = m;
    std::vector<double> solution(n + 1, 0.0);
    int iter = 0;
    double err = 0.0;
    copy.linbcg(n, b.data(), solution.data(), 1, 0.0, 25, &iter, &err);
    return std::make_pair(solution, err);
  };
  auto serial = solve(1, LONG_MAX);
  auto parallel = solve(2, 1);
  EXPECT_EQ(serial.second, parallel.second);
  for (int i = 1; i <= n; ++i) ASSERT_EQ(serial.first[i], parallel.first[i]) << "entry " << i;
  omp_set_num_threads(omp_get_num_procs());
  solverParallelEntries = savedEntries;
}

TEST(SparseMatrix, MismatchedStorageAndIllegalItolAreSolverErrors) {
  SparseMatrix m = pack({1.0, 0.0, 0.0, 1.0}, 2);
  const double x[] = {0.0, 1.0, 1.0};
  double result[3];
  auto messageOf = [](auto&& call) {
    try {
      call();
    } catch (const SolverError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  // Told n = 3 while the storage was built for n = 2.
  EXPECT_EQ(messageOf([&] { dsprsax(m.values.data(), m.indices.data(), x, result, 3); }),
            "dsprsax: mismatched vector and matrix");
  EXPECT_EQ(messageOf([&] { dsprstx(m.values.data(), m.indices.data(), x, result, 3); }),
            "mismatched vector and matrix in dsprstx");
  double solution[3] = {0, 0, 0};
  int iter = -1;
  double err = -1;
  for (int itol : {0, 5, -1}) {
    EXPECT_EQ(messageOf([&] { m.linbcg(2, x, solution, itol, 1e-9, 10, &iter, &err); }),
              "illegal itol in linbcg");
  }
  EXPECT_EQ(messageOf([&] { dvector(-5); }), "allocation failure in dvector()");
  EXPECT_EQ(dvector(4).size(), 5u);
}

TEST(SparseMatrix, PreconditionerDividesByTheDiagonalAndSkipsZeros) {
  SparseMatrix m = pack({4.0, 0.0, 0.0, 0.0}, 2);
  const double b[] = {0.0, 2.0, 3.0};
  double x[3] = {0, 0, 0};
  m.precondition(2, b, x, 0);
  EXPECT_EQ(x[1], 0.5);
  EXPECT_EQ(x[2], 3.0);
}

TEST(SparseMatrix, NormsAreEuclideanOrLargestMagnitude) {
  const double v[] = {99.0, 3.0, -4.0};
  for (int itol : {1, 2, 3}) EXPECT_EQ(SparseMatrix::norm(2, v, itol), 5.0);
  EXPECT_EQ(SparseMatrix::norm(2, v, 4), 4.0);
  EXPECT_EQ(SparseMatrix::norm(0, v, 4), 0.0);
}

TEST(SparseMatrix, DiagonalSystemConvergesInOneIterationForEveryItol) {
  // Powers of two keep every quotient exact, so the residual is exactly 0
  // and even a tolerance of 0 is met ("err <= tol").
  for (int itol = 1; itol <= 4; ++itol) {
    SparseMatrix m = pack({2.0, 0, 0, 0, 4.0, 0, 0, 0, 0.5}, 3);
    const double b[] = {0.0, 3.0, -5.0, 1.5};
    double x[] = {0.0, 1.0, 1.0, 1.0};
    int iter = -1;
    double err = -1;
    m.linbcg(3, b, x, itol, itol <= 2 ? 0.0 : 1e-12, 50, &iter, &err);
    EXPECT_EQ(iter, 1) << "itol " << itol;
    EXPECT_LE(err, 1e-12) << "itol " << itol;
    EXPECT_EQ(x[1], 1.5);
    EXPECT_EQ(x[2], -1.25);
    EXPECT_EQ(x[3], 3.0);
  }
}

TEST(SparseMatrix, AgreesWithDenseSolveOnRandomSymmetricPositiveDefiniteSystems) {
  for (int seed = 0; seed < 40; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const int n = 1 + seed % 17;
    // A = B B^T + n I with a sparse B: symmetric positive definite.
    std::vector<double> bm(n * n, 0.0);
    for (double& v : bm) v = (rng() % 3 == 0) ? uniform(rng) : 0.0;
    std::vector<double> a(n * n, 0.0);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        for (int k = 0; k < n; ++k) a[i * n + j] += bm[i * n + k] * bm[j * n + k];
      }
      a[i * n + i] += 0.1 + 0.5 * (uniform(rng) + 1.0);
    }
    std::vector<double> rhs(n);
    for (double& v : rhs) v = uniform(rng);
    const std::vector<double> expected = denseSolve(a, rhs, n);
    for (int itol = 1; itol <= 4; ++itol) {
      std::vector<double> b(n + 1, 0.0), guess(n + 1, 0.0);
      for (int i = 0; i < n; ++i) {
        b[i + 1] = rhs[i];
        guess[i + 1] = uniform(rng);
      }
      // Shuffled rows, then sorted rows solved with and without the
      // symmetric shortcut, which must not change a single bit.
      SparseMatrix shuffled = pack(a, n, &rng);
      SparseMatrix sorted = pack(a, n);
      SparseMatrix promised = pack(a, n);
      promised.symmetric = true;
      std::vector<double> xs[3] = {guess, guess, guess};
      int iters[3] = {0, 0, 0};
      double errs[3] = {0, 0, 0};
      SparseMatrix* matrices[3] = {&shuffled, &sorted, &promised};
      for (int k = 0; k < 3; ++k) {
        matrices[k]->linbcg(n, b.data(), xs[k].data(), itol, 1e-13, 500, &iters[k], &errs[k]);
      }
      EXPECT_LE(errs[0], 1e-13) << "seed " << seed << " itol " << itol;
      for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(xs[0][i + 1], expected[i], 1e-9) << "seed " << seed << " itol " << itol;
      }
      EXPECT_EQ(xs[1], xs[2]) << "seed " << seed << " itol " << itol;
      EXPECT_EQ(iters[1], iters[2]);
      EXPECT_EQ(errs[1], errs[2]);
    }
  }
}

TEST(SparseMatrix, SolvesNonSymmetricSystemsThroughTheTranspose) {
  for (int seed = 0; seed < 10; ++seed) {
    std::mt19937 rng(100 + seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const int n = 4 + seed;
    std::vector<double> a(n * n, 0.0);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) a[i * n + j] = (i == j) ? 2.0 * n : (rng() % 2 ? uniform(rng) : 0.0);
    }
    std::vector<double> rhs(n);
    for (double& v : rhs) v = uniform(rng);
    const std::vector<double> expected = denseSolve(a, rhs, n);
    SparseMatrix m = pack(a, n);
    std::vector<double> b(n + 1, 0.0), x(n + 1, 0.0);
    for (int i = 0; i < n; ++i) b[i + 1] = rhs[i];
    int iter = 0;
    double err = 0;
    m.linbcg(n, b.data(), x.data(), 1, 1e-13, 500, &iter, &err);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i + 1], expected[i], 1e-10) << "seed " << seed;
  }
}

TEST(SparseMatrix, ProgressLineOverwritesItselfAndBreaksOnConvergence) {
  Capture out;
  SparseMatrix m = pack({4.0, 1.0, 0.0, 1.0, 3.0, 1.0, 0.0, 1.0, 2.0}, 3);
  m.console = out.file();
  m.errorScale = 2.0f;
  const double b[] = {0.0, 1.0, 2.0, 3.0};
  double x[] = {0.0, 0.0, 0.0, 0.0};
  int iter = 0;
  double err = 0;
  m.linbcg(3, b, x, 1, 1e-10, 100, &iter, &err);
  const std::string text = out.text();
  ASSERT_GT(iter, 1);
  // One rewound display per iteration, the last one with the final error
  // divided by errorScale, then exactly one line break.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\b')), 29 * iter);
  const std::string last = progress(iter, err / 2.0) + "\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(text.substr(0, 38), progress(1, 0).substr(0, 38));
}

TEST(SparseMatrix, IterationLimitAllowsOneExtraIterationAndLeavesTheLineOpen) {
  for (int limit : {0, 1, 3}) {
    Capture out;
    SparseMatrix m = pack({4.0, 1.0, 0.5, 1.0, 3.0, 1.0, 0.5, 1.0, 2.0}, 3);
    m.console = out.file();
    const double b[] = {0.0, 1.0, 2.0, 3.0};
    double x[] = {0.0, 0.0, 0.0, 0.0};
    int iter = 0;
    double err = 0;
    m.linbcg(3, b, x, 1, 1e-300, limit, &iter, &err);
    EXPECT_EQ(iter, limit + 1);
    const std::string text = out.text();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\b')), 29 * (limit + 1));
  }
}

TEST(SparseMatrix, ZeroRightHandSideAndEmptySystemReturnZeroAtOnce) {
  Capture out;
  SparseMatrix m = pack({4.0, 1.0, 1.0, 3.0}, 2);
  m.console = out.file();
  const double b[] = {0.0, 0.0, 0.0};
  double x[] = {0.0, 5.0, -2.0};
  int iter = -1;
  double err = -1;
  for (int itol = 1; itol <= 4; ++itol) {
    m.linbcg(2, b, x, itol, 1e-6, 1000, &iter, &err);
    EXPECT_EQ(iter, 0);
    EXPECT_EQ(err, 0.0);
    EXPECT_EQ(x[1], 0.0);
    EXPECT_EQ(x[2], 0.0);
  }
  SparseMatrix empty = pack({}, 0);
  empty.console = out.file();
  empty.linbcg(0, b, x, 1, 1e-6, 5000, &iter, &err);
  EXPECT_EQ(iter, 0);
  EXPECT_EQ(err, 0.0);
  std::string expected;
  for (int k = 0; k < 5; ++k) expected += progress(0, 0.0) + "\n";
  EXPECT_EQ(out.text(), expected);
}

TEST(SparseMatrix, ZeroDenominatorKeepsTheLastFiniteIterate) {
  // Exact initial guess: the residual is 0, so akden is 0 in the first
  // iteration; x must stay as it was.
  {
    SparseMatrix m = pack({4.0, 1.0, 1.0, 3.0}, 2);
    const double b[] = {0.0, 5.0, 4.0};
    double x[] = {0.0, 1.0, 1.0};
    int iter = -1;
    double err = -1;
    m.linbcg(2, b, x, 1, 1e-9, 100, &iter, &err);
    EXPECT_EQ(iter, 0);
    EXPECT_EQ(err, 0.0);
    EXPECT_EQ(x[1], 1.0);
    EXPECT_EQ(x[2], 1.0);
  }
  // A lower triangular system on which the biconjugate recurrence breaks
  // down after one step with a non-zero residual: the first iterate is kept.
  for (int itol = 1; itol <= 4; ++itol) {
    SparseMatrix m = pack({1.0, 0.0, 2.0, 1.0}, 2);
    const double b[] = {0.0, 1.0, 0.0};
    double x[] = {0.0, 0.0, 0.0};
    int iter = -1;
    double err = -1;
    m.linbcg(2, b, x, itol, 1e-9, 100, &iter, &err);
    EXPECT_EQ(iter, 1) << "itol " << itol;
    EXPECT_TRUE(std::isfinite(err));
    EXPECT_GT(err, 1e-9);
    EXPECT_EQ(x[1], 1.0);
    EXPECT_EQ(x[2], 0.0);
  }
}

}  // namespace
}  // namespace wendfit
