#include "solver/schwarz_solver.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace wendfit {
namespace {

double wendland(double t) { return t >= 1.0 ? 0.0 : std::pow(1.0 - t, 6) * (35 * t * t + 18 * t + 3); }

// A level-like system: random centres in the unit cube, 3 on the diagonal,
// w(d / R) between centres closer than R (about `neighbours` per row).
struct System {
  int n = 0;
  double radius = 0;
  std::vector<float> positions;
  SparseMatrix matrix;
  std::vector<double> b;
};

System makeSystem(int n, double neighbours, unsigned seed) {
  System s;
  s.n = n;
  s.radius = std::cbrt(3.0 * neighbours / (4.0 * M_PI * n));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int i = 0; i < 3 * n; ++i) s.positions.push_back(unit(rng));
  // Cells of side R so that the neighbour search is not quadratic.
  const int cells = std::max(1, static_cast<int>(1.0 / s.radius));
  auto cellOf = [&](int i, int a) { return std::min(cells - 1, static_cast<int>(s.positions[3 * i + a] * cells)); };
  std::vector<std::vector<int>> grid(cells * cells * cells);
  for (int i = 0; i < n; ++i) grid[(cellOf(i, 0) * cells + cellOf(i, 1)) * cells + cellOf(i, 2)].push_back(i);
  SparseMatrix& m = s.matrix;
  m.console = nullptr;
  m.values.assign(n + 2, 3.0);
  m.indices.assign(n + 2, 0);
  m.indices[1] = n + 2;
  for (int i = 0; i < n; ++i) {
    std::vector<std::pair<int, double>> row;
    for (int gx = std::max(0, cellOf(i, 0) - 1); gx <= std::min(cells - 1, cellOf(i, 0) + 1); ++gx)
      for (int gy = std::max(0, cellOf(i, 1) - 1); gy <= std::min(cells - 1, cellOf(i, 1) + 1); ++gy)
        for (int gz = std::max(0, cellOf(i, 2) - 1); gz <= std::min(cells - 1, cellOf(i, 2) + 1); ++gz)
          for (int j : grid[(gx * cells + gy) * cells + gz]) {
            double d2 = 0;
            for (int a = 0; a < 3; ++a) {
              const double d = s.positions[3 * i + a] - s.positions[3 * j + a];
              d2 += d * d;
            }
            if (j != i && d2 < s.radius * s.radius) row.push_back({j, wendland(std::sqrt(d2) / s.radius)});
          }
    std::sort(row.begin(), row.end());
    for (const auto& [j, w] : row) {
      m.values.push_back(w);
      m.indices.push_back(j + 1);
    }
    m.indices[i + 2] = static_cast<int>(m.indices.size());
  }
  s.b.assign(n + 1, 0.0);
  std::normal_distribution<double> normal;
  for (int i = 1; i <= n; ++i) s.b[i] = normal(rng);
  return s;
}

// ||b - A x|| / ||b||, summed plainly.
double relativeResidual(const SparseMatrix& m, int n, const std::vector<double>& b,
                        const std::vector<double>& x) {
  double rr = 0, bb = 0;
  for (int i = 1; i <= n; ++i) {
    double ax = m.values[i] * x[i];
    for (int k = m.indices[i]; k < m.indices[i + 1]; ++k) ax += m.values[k] * x[m.indices[k]];
    rr += (b[i] - ax) * (b[i] - ax);
    bb += b[i] * b[i];
  }
  return std::sqrt(rr / bb);
}

struct Solution {
  std::vector<double> x;
  int iterations = 0;
  double error = 0;
  SchwarzReport report;
};

// Solves s's system, or the same system stored as `matrix` (of either
// value type).
template <typename Matrix>
Solution solve(const System& s, const Matrix& matrix, double tol, int maxIterations, int threads) {
  Solution out;
  out.x.assign(s.n + 1, 0.0);
  omp_set_num_threads(threads);
  out.report = schwarzSolve(matrix, s.n, s.positions.data(), wendland(0.3), s.b.data(), out.x.data(), tol,
                            maxIterations, &out.iterations, &out.error);
  return out;
}

Solution solve(const System& s, double tol, int maxIterations, int threads) {
  return solve(s, s.matrix, tol, maxIterations, threads);
}

TEST(SchwarzSolver, AgreesWithDenseSolveOnWendlandSystems) {
  for (int n : {1, 40, 300, 900}) {
    System s = makeSystem(n, 40, 7 + n);
    const Solution result = solve(s, 1e-10, 1000, 2);
    EXPECT_LE(result.error, 1e-10) << n;
    EXPECT_LE(relativeResidual(s.matrix, n, s.b, result.x), 1e-10) << n;
    EXPECT_LT(result.iterations, 100) << n;
    Eigen::MatrixXd dense = Eigen::MatrixXd::Zero(n, n);
    for (int i = 1; i <= n; ++i) {
      dense(i - 1, i - 1) = s.matrix.values[i];
      for (int k = s.matrix.indices[i]; k < s.matrix.indices[i + 1]; ++k) {
        dense(i - 1, s.matrix.indices[k] - 1) = s.matrix.values[k];
      }
    }
    const Eigen::VectorXd expected =
        dense.ldlt().solve(Eigen::Map<const Eigen::VectorXd>(s.b.data() + 1, n));
    const Eigen::VectorXd got = Eigen::Map<const Eigen::VectorXd>(result.x.data() + 1, n);
    EXPECT_LE((got - expected).norm(), 1e-6 * expected.norm()) << n;
  }
}

TEST(SchwarzSolver, SupportsWiderThanTheDataKeepBlocksSmallAndStillConverge) {
  // Every centre reaches almost every other (a coarse level over a small
  // object): widened by all of them, each block would be the whole system.
  System s = makeSystem(1500, 15000, 5);
  const Solution result = solve(s, 1e-8, 1000, 2);
  EXPECT_LE(relativeResidual(s.matrix, s.n, s.b, result.x), 1e-8);
  EXPECT_GT(result.report.blocks, 1);
  EXPECT_LE(result.report.widenedRows, 512LL * result.report.blocks);
}

TEST(SchwarzSolver, BlocksHoldAtMost64CentresAndResultIsTheSameOnAnyThreadCount) {
  // Large enough for the parallel bisection, block solutions, sums and dot
  // products.
  System s = makeSystem(40000, 30, 3);
  const Solution one = solve(s, 1e-8, 1000, 1);
  const Solution two = solve(s, 1e-8, 1000, 2);
  EXPECT_LE(relativeResidual(s.matrix, s.n, s.b, one.x), 1e-8);
  EXPECT_EQ(one.x, two.x);
  EXPECT_EQ(one.iterations, two.iterations);
  EXPECT_EQ(one.error, two.error);
  // Median bisection of 40000 centres: 1024 blocks of 39 or 40.
  EXPECT_EQ(one.report.blocks, 1024);
  EXPECT_EQ(one.report.blocks, two.report.blocks);
  EXPECT_EQ(one.report.widenedRows, two.report.widenedRows);
  EXPECT_GT(one.report.widenedRows, s.n);
  EXPECT_EQ(one.report.fallbackBlocks, 0);
}

TEST(SchwarzSolver, SingleValuesSolveTheirSystemLikeDoubleOnesOnAnyThreadCount) {
  System s = makeSystem(40000, 30, 3);
  SingleSparseMatrix single;
  single.indices.assign(s.matrix.indices.begin(), s.matrix.indices.end());
  for (double v : s.matrix.values) single.values.push_back(static_cast<float>(v));
  const Solution one = solve(s, single, 1e-8, 1000, 1);
  const Solution two = solve(s, single, 1e-8, 1000, 2);
  EXPECT_EQ(one.x, two.x);
  EXPECT_EQ(one.iterations, two.iterations);
  // Solved to the tolerance on the rounded entries; on the double ones the
  // residual (the fitted function's values at the centres) is off by about
  // the rounding.
  SparseMatrix rounded = s.matrix;
  for (size_t k = 0; k < rounded.values.size(); ++k) rounded.values[k] = single.values[k];
  EXPECT_LE(relativeResidual(rounded, s.n, s.b, one.x), 1e-8);
  EXPECT_LE(relativeResidual(s.matrix, s.n, s.b, one.x), 1e-6);
}

TEST(SchwarzSolver, FailedBlockFactorisationFallsBackAndStillConverges) {
  // Rows 1 and 2 differ by 1e-9: positive definite in double, singular once
  // the block is rounded to the float factors.
  System s;
  s.n = 3;
  s.positions = {0, 0, 0, 0, 0, 0.001f, 1, 0, 0};
  const std::vector<double> dense = {1, 1 - 1e-9, 0, 1 - 1e-9, 1, 0, 0, 0, 2};
  s.matrix.console = nullptr;
  s.matrix.values = {0, 1, 1, 2};
  s.matrix.indices = {0, 5, 0, 0, 0};
  s.matrix.values.resize(5);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (i == j || dense[3 * i + j] == 0) continue;
      s.matrix.values.push_back(dense[3 * i + j]);
      s.matrix.indices.push_back(j + 1);
    }
    s.matrix.indices[i + 2] = static_cast<int>(s.matrix.indices.size());
  }
  s.b = {0, 1, 2, 3};
  const Solution result = solve(s, 1e-12, 100, 1);
  EXPECT_EQ(result.report.fallbackBlocks, 1);
  EXPECT_LE(result.error, 1e-12);
  EXPECT_LE(relativeResidual(s.matrix, s.n, s.b, result.x), 1e-12);
}

// The console text of one solve.
std::string consoleOf(System& s, double tol, int maxIterations, int* iterations, double* error,
                      std::vector<double>& x) {
  std::FILE* file = std::tmpfile();
  s.matrix.console = file;
  s.matrix.errorScale = 2.0f;
  x.assign(s.n + 1, 1.0);
  schwarzSolve(s.matrix, s.n, s.positions.data(), wendland(0.3), s.b.data(), x.data(), tol,
               maxIterations, iterations, error);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(file);
  s.matrix.console = nullptr;
  return text;
}

std::string progress(int iter, double shownError) {
  char text[64];
  std::snprintf(text, sizeof text, "iter=%4d err=%12.6f", iter, shownError);
  return std::string(29, '\b') + text;
}

TEST(SchwarzSolver, ProgressLineKeepsLinbcgsFormat) {
  System s = makeSystem(500, 40, 5);
  int iterations = 0;
  double error = 0;
  std::vector<double> x;
  const std::string converged = consoleOf(s, 1e-6, 1000, &iterations, &error, x);
  ASSERT_GT(iterations, 1);
  const size_t lineSize = progress(0, 0).size();
  ASSERT_EQ(converged.size(), iterations * lineSize + 1);
  for (int k = 1; k < iterations; ++k) {
    EXPECT_EQ(converged.substr((k - 1) * lineSize, 29 + 9), progress(k, 0).substr(0, 29 + 9));
  }
  EXPECT_EQ(converged.substr(converged.size() - lineSize - 1), progress(iterations, error / 2.0) + "\n");

  // At the limit: maxIterations + 1 iterations and the line stays open.
  const std::string stopped = consoleOf(s, 1e-14, 2, &iterations, &error, x);
  EXPECT_EQ(iterations, 3);
  ASSERT_EQ(stopped.size(), 3 * lineSize);
  EXPECT_EQ(stopped.substr(2 * lineSize), progress(3, error / 2.0));

  // A zero right-hand side gives x = 0 at once.
  std::fill(s.b.begin(), s.b.end(), 0.0);
  EXPECT_EQ(consoleOf(s, 1e-6, 1000, &iterations, &error, x), progress(0, 0) + "\n");
  EXPECT_EQ(iterations, 0);
  EXPECT_EQ(error, 0.0);
  EXPECT_EQ(std::vector<double>(x.begin() + 1, x.end()), std::vector<double>(s.n, 0.0));
}

}  // namespace
}  // namespace wendfit
