#include "fitting/level_fitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "function/basis_function.h"
#include "function/implicit_function.h"
#include "core/error.h"
#include "spatial/point_octree.h"
#include "support/fit_support.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

struct Point {
  float x, y, z, nx, ny, nz;
};

PointSet makeSet(const std::vector<Point>& points) {
  PointSet set;
  set.allocate(static_cast<int>(points.size()));
  for (int i = 0; i < set.count; ++i) {
    set.setPosition(i, points[i].x, points[i].y, points[i].z);
    set.setNormal(i, points[i].nx, points[i].ny, points[i].nz);
  }
  return set;
}

std::unique_ptr<ImplicitFunction> makeFunction(float lo, float hi) {
  const float boxMin[3] = {lo, lo, lo};
  const float boxMax[3] = {hi, hi, hi};
  auto function = std::make_unique<ImplicitFunction>(boxMin, boxMax, nullptr);
  function->setOffset(0.0f);
  return function;
}

LevelFitter makeFitter(ImplicitFunction& function, float boxDiagonal) {
  LevelFitter fitter;
  fitter.function = &function;
  fitter.boxDiagonal = boxDiagonal;
  fitter.console = nullptr;
  return fitter;
}

// Prepares a fitter for assembleSystem / fitGlobal as fitLevel would.
void prepare(LevelFitter& fitter, PointSet centres, const std::vector<float>& values, float radius,
             int level) {
  fitter.centres = std::move(centres);
  fitter.centres.values.assign(values.begin(), values.end());
  fitter.kdTree = std::make_unique<KdTree>(fitter.centres);
  fitter.count = fitter.centres.count;
  fitter.radius = radius;
  fitter.level = level;
  fitter.fitLocal();
}

void collectRecords(const FunctionCell& cell, std::vector<const BasisFunction*>& out) {
  for (const FunctionNode* node = cell.functions; node; node = node->next) out.push_back(node->function);
  if (!cell.children) return;
  for (const auto& child : *cell.children) {
    if (child) collectRecords(*child, out);
  }
}

std::vector<const BasisFunction*> recordsOfLevel(const ImplicitFunction& function, int level) {
  std::vector<const BasisFunction*> all, ofLevel;
  collectRecords(function.root(), all);
  for (const BasisFunction* record : all) {
    if (record->level == level) ofLevel.push_back(record);
  }
  return ofLevel;
}

using Capture = test::ConsoleCapture;

TEST(LevelFitter, LocalFittingNegatesTheNormalAndCopiesRadiusAndLevel) {
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.centres = makeSet({{1, 2, 3, 0, 0.6f, 0.8f}, {4, 5, 6, 0, 0, 0}});
  fitter.count = 2;
  fitter.radius = 0.75f;
  fitter.level = 2;
  fitter.fitLocal();
  ASSERT_EQ(fitter.basisFunctions.size(), 2u);
  const BasisFunction& record = fitter.basisFunctions[0];
  EXPECT_EQ(record.centre[0], 1.0f);
  EXPECT_EQ(record.centre[1], 2.0f);
  EXPECT_EQ(record.centre[2], 3.0f);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(record.coeff[k], 0.0f);
  EXPECT_EQ(record.coeff[6], 0.0f);
  EXPECT_TRUE(std::signbit(record.coeff[6]));
  EXPECT_EQ(record.coeff[7], -0.6f);
  EXPECT_EQ(record.coeff[8], -0.8f);
  EXPECT_EQ(record.coeff[9], 0.0f);
  EXPECT_EQ(record.radius, 0.75f);
  EXPECT_EQ(record.level, 2);
  // A zero normal leaves only the constant the global fitting will add.
  for (float c : fitter.basisFunctions[1].coeff) EXPECT_EQ(c, 0.0f);
  EXPECT_EQ(fitter.basisFunctions[1].quadric(0.3, -0.2, 0.1), 0.0);
}

TEST(LevelFitter, TwoCentreSystemHasTheExactLayoutAndSolution) {
  auto function = makeFunction(-10, 10);
  // A small diagonal makes the solver tolerance far tighter than the check.
  LevelFitter fitter = makeFitter(*function, 1e-3f);
  prepare(fitter, makeSet({{0, 0, 0, 1, 0, 0}, {0.5f, 0, 0, 1, 0, 0}}), {0, 0}, 1.0f, 1);
  SparseMatrix matrix;
  std::vector<double> b, x;
  fitter.assembleSystem(matrix, b, x);
  EXPECT_EQ(fitter.nonZeroCount, 4);
  ASSERT_EQ(matrix.values.size(), 6u);
  const double w = 0.32421875;  // w(0.5)
  EXPECT_EQ(matrix.values[1], 3.0);
  EXPECT_EQ(matrix.values[2], 3.0);
  EXPECT_EQ(matrix.values[4], w);
  EXPECT_EQ(matrix.values[5], w);
  const std::vector<int> indices(matrix.indices.begin() + 1, matrix.indices.end());
  EXPECT_EQ(indices, (std::vector<int>{4, 5, 6, 2, 1}));
  EXPECT_EQ(b[1], -0.162109375);
  EXPECT_EQ(b[2], 0.162109375);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_EQ(x[2], 0.0);

  fitter.fitGlobal();
  const double a = 0.162109375 / (3.0 - w);  // 0.0605839...
  EXPECT_NEAR(fitter.basisFunctions[0].coeff[9], -a, 1e-7);
  EXPECT_NEAR(fitter.basisFunctions[1].coeff[9], a, 1e-7);
  // The new function vanishes at both centres.
  function->addLevel(std::move(fitter.basisFunctions));
  EXPECT_NEAR(function->value(0, 0, 0), 0.0f, 1e-6);
  EXPECT_NEAR(function->value(0.5f, 0, 0), 0.0f, 1e-6);
}

TEST(LevelFitter, SingleCentreSolvesThreePlusRegularization) {
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 1e-3f);
  fitter.regularization = 0.5f;
  prepare(fitter, makeSet({{1, 1, 1, 0, 0, 1}}), {0.35f}, 2.0f, 3);
  SparseMatrix matrix;
  std::vector<double> b, x;
  fitter.assembleSystem(matrix, b, x);
  EXPECT_EQ(fitter.nonZeroCount, 1);
  EXPECT_EQ(matrix.indices[1], 3);
  EXPECT_EQ(matrix.indices[2], 3);
  EXPECT_EQ(matrix.values[1], 3.5);
  EXPECT_EQ(b[1], -static_cast<double>(0.35f));
  fitter.fitGlobal();
  EXPECT_NEAR(fitter.basisFunctions[0].coeff[9], -0.1, 1e-7);
}

TEST(LevelFitter, AssembledMatrixIsSymmetricAndMatchesBruteForceNeighbours) {
  for (int seed = 0; seed < 6; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-3.0f, 3.0f);
    std::vector<Point> points;
    for (int i = 0; i < 150; ++i) {
      points.push_back({coord(rng), coord(rng), coord(rng), coord(rng), coord(rng), coord(rng)});
    }
    for (int i = 0; i < 5; ++i) points.push_back(points[i * 7]);  // coinciding centres
    auto function = makeFunction(-10, 10);
    LevelFitter fitter = makeFitter(*function, 10.0f);
    fitter.regularization = 0.25f;  // coinciding centres would make the system singular
    const float radius = 1.0f + 0.25f * seed;
    prepare(fitter, makeSet(points), std::vector<float>(points.size(), 0.1f), radius, 2);
    SparseMatrix matrix;
    std::vector<double> b, x;
    fitter.assembleSystem(matrix, b, x);
    const int n = fitter.count;
    ASSERT_EQ(matrix.indices[1], n + 2);
    ASSERT_EQ(static_cast<long long>(matrix.values.size()), fitter.nonZeroCount + 2);
    ASSERT_EQ(matrix.indices[n + 1], fitter.nonZeroCount + 2);
    auto entry = [&](int row, int column) -> double {
      for (int k = matrix.indices[row]; k < matrix.indices[row + 1]; ++k) {
        if (matrix.indices[k] == column) return matrix.values[k];
      }
      return -1.0;
    };
    for (int j = 0; j < n; ++j) {
      const float* cj = fitter.centres.position(j);
      std::vector<int> expected;
      for (int i = 0; i < n; ++i) {
        const float* ci = fitter.centres.position(i);
        double distSq = 0;
        for (int a = 2; a >= 0; --a) distSq += (double(cj[a]) - ci[a]) * (double(cj[a]) - ci[a]);
        if (i != j && distSq < double(radius) * radius) expected.push_back(i + 1);
      }
      const std::vector<int> columns(matrix.indices.begin() + matrix.indices[j + 1],
                                     matrix.indices.begin() + matrix.indices[j + 2]);
      ASSERT_EQ(columns, expected) << "seed " << seed << " row " << j + 1;
      EXPECT_EQ(matrix.values[j + 1], 3.25);
      for (int column : columns) {
        EXPECT_EQ(entry(j + 1, column), entry(column, j + 1));
        EXPECT_GE(entry(j + 1, column), 0.0);
      }
    }
    // Plain weights: the same entries within a few units in the last place,
    // still symmetric to the bit.
    LevelFitter plainFitter = makeFitter(*function, 10.0f);
    plainFitter.regularization = 0.25f;
    plainFitter.plainValues = true;
    prepare(plainFitter, makeSet(points), std::vector<float>(points.size(), 0.1f), radius, 2);
    SparseMatrix plainMatrix;
    std::vector<double> plainB, plainX;
    plainFitter.assembleSystem(plainMatrix, plainB, plainX);
    ASSERT_EQ(plainMatrix.indices, matrix.indices);
    for (size_t k = 1; k < matrix.values.size(); ++k) {
      ASSERT_NEAR(plainMatrix.values[k], matrix.values[k], 1e-14 * 3.25) << "entry " << k;
    }
    for (int row = 1; row <= n; ++row) {
      for (int k = plainMatrix.indices[row]; k < plainMatrix.indices[row + 1]; ++k) {
        const int column = plainMatrix.indices[k];
        for (int e = plainMatrix.indices[column]; e < plainMatrix.indices[column + 1]; ++e) {
          if (plainMatrix.indices[e] == row) {
            ASSERT_EQ(plainMatrix.values[e], plainMatrix.values[k]);
          }
        }
      }
    }
    // So the solver's symmetric shortcut changes no bit of the solution.
    std::vector<double> plain = x, shortcut = x;
    int plainIter = 0, shortcutIter = 0;
    double plainErr = 0, shortcutErr = 0;
    matrix.console = nullptr;
    matrix.linbcg(n, b.data(), plain.data(), 1, 1e-9, 300, &plainIter, &plainErr);
    matrix.symmetric = true;
    matrix.linbcg(n, b.data(), shortcut.data(), 1, 1e-9, 300, &shortcutIter, &shortcutErr);
    EXPECT_GT(plainIter, 1);
    EXPECT_EQ(plain, shortcut) << "seed " << seed;
    EXPECT_EQ(plainIter, shortcutIter);
  }
}

TEST(LevelFitter, LevelPrintsItsLinesAndHandsEveryRecordToTheFunction) {
  Capture out;
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.console = out.file();
  fitter.fitLevel(makeSet({{0, 0, 0, 1, 0, 0}, {0.5f, 0, 0, 1, 0, 0}}), 1.0f, 1);
  const std::string text = out.text();
  const std::string head =
      "2 basis functions\nLocal fitting\nGlobal fitting\nNon-zero element in the matrix; 4\n";
  ASSERT_GE(text.size(), head.size());
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(head.size(), 34), std::string(29, '\b') + "iter=");
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(function->functionCount(), 2);
  EXPECT_EQ(recordsOfLevel(*function, 1).size(), 2u);
  EXPECT_EQ(fitter.stats.iterations, 1);
}

TEST(LevelFitter, EmptyLevelReturnsFromTheSolverAtOnce) {
  Capture out;
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.console = out.file();
  fitter.fitLevel(PointSet{}, 1.0f, 7);
  EXPECT_EQ(out.text(), "0 basis functions\nLocal fitting\nGlobal fitting\n"
                        "Non-zero element in the matrix; 0\n" +
                            std::string(29, '\b') + "iter=   0 err=    0.000000\n");
  EXPECT_EQ(fitter.nonZeroCount, 0);
  EXPECT_EQ(function->functionCount(), 0);
}

TEST(LevelFitter, FlatScanGivesZeroConstantsInsteadOfNaN) {
  // Centres on the plane z = 0 with normals across it: every right-hand side
  // is 0, the exact solution is 0, and the function stays 0 on the plane.
  std::vector<Point> points;
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < 6; ++j) points.push_back({float(i), float(j), 0, 0, 0, 1});
  }
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 7.0f);
  fitter.fitLevel(makeSet(points), 4.0f, 1);
  fitter.fitLevel(makeSet(points), 2.0f, 2);
  EXPECT_EQ(fitter.stats.iterations, 0);
  EXPECT_EQ(function->functionCount(), 72);
  for (const BasisFunction* record : recordsOfLevel(*function, 2)) EXPECT_EQ(record->coeff[9], 0.0f);
  for (const BasisFunction* record : recordsOfLevel(*function, 1)) EXPECT_EQ(record->coeff[9], 0.0f);
  EXPECT_EQ(function->value(2.5f, 2.5f, 0), 0.0f);
  EXPECT_GT(function->value(2.5f, 2.5f, -0.5f), 0.0f);
}

TEST(LevelFitter, UnderflowedRadiusKeepsEveryDiagonalInsideTheArrays) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  std::vector<Point> points;
  for (int i = 0; i < 40; ++i) points.push_back({coord(rng), coord(rng), coord(rng), 0, 0, 1});
  for (float radius : {0.0f, 1e-45f}) {
    auto function = makeFunction(-10, 10);
    LevelFitter fitter = makeFitter(*function, 1.0f);
    std::vector<float> values(points.size());
    for (float& v : values) v = coord(rng);
    prepare(fitter, makeSet(points), values, radius, 150);
    fitter.fitGlobal();
    EXPECT_EQ(fitter.nonZeroCount, 40);
    // A diagonal system: each constant is -f / 3.
    for (int j = 0; j < fitter.count; ++j) {
      EXPECT_NEAR(fitter.basisFunctions[j].coeff[9], -fitter.centres.values[j] / 3.0, 1e-6);
    }
  }
  // The whole halving sequence, as a driver with very many levels runs it:
  // the radius reaches 0 and every level still stays inside its arrays.
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 3.5f);
  float radius = 1.5f * 3.5f;
  for (int level = 1; level <= 160; ++level, radius *= 0.5f) {
    fitter.fitLevel(makeSet(points), radius, level);
    EXPECT_EQ(fitter.nonZeroCount >= fitter.count, true);
  }
  EXPECT_EQ(radius, 0.0f);
  EXPECT_TRUE(std::isfinite(function->value(0.1f, 0.2f, 0.3f)));
}

TEST(LevelFitter, NonFiniteConstantIsReportedWithItsLevel) {
  auto function = makeFunction(-10, 10);
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.regularization = std::nanf("");
  try {
    fitter.fitLevel(makeSet({{0, 0, 0, 1, 0, 0}, {0.5f, 0, 0, 1, 0, 0}}), 1.0f, 1);
    FAIL() << "expected an error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("level 1: "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("expected a finite number"), std::string::npos);
  }
  EXPECT_EQ(function->functionCount(), 0);
}

// A function whose only record reaches (0, 0, 0) but not (0.4, 0, 0) or
// (1, 0, 0): the error there is about 0.07, elsewhere 0.
std::unique_ptr<ImplicitFunction> functionWithOneBump() {
  auto function = makeFunction(-2, 2);
  BasisFunction bump{};
  bump.centre[0] = -0.3f;
  bump.coeff[9] = 1.0f;
  bump.radius = 0.5f;
  bump.level = 1;
  function->addLevel({bump});
  return function;
}

const std::vector<Point> kThreeCentres = {{0, 0, 0, 1, 0, 0}, {0.4f, 0, 0, 1, 0, 0}, {1, 0, 0, 1, 0, 0}};

std::vector<float> selectedXs(const ImplicitFunction& function, int level) {
  std::vector<float> xs;
  for (const BasisFunction* record : recordsOfLevel(function, level)) xs.push_back(record->centre[0]);
  std::sort(xs.begin(), xs.end());
  return xs;
}

TEST(LevelFitter, SelectionKeepsTheCentresNearALargeError) {
  auto function = functionWithOneBump();
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.errorThreshold = 0.05f;
  fitter.fitLevel(makeSet(kThreeCentres), 0.5f, 2);
  EXPECT_EQ(selectedXs(*function, 2), (std::vector<float>{0.0f, 0.4f}));

  // The error at (0, 0, 0) exactly at the threshold selects nothing; just
  // below it, the same two centres.
  auto probe = functionWithOneBump();
  float g[3];
  const float v = probe->valueAndGradient(g, 0, 0, 0);
  const float error = static_cast<float>(
      std::fabs(v) / std::sqrt(double(g[2]) * g[2] + double(g[1]) * g[1] + double(g[0]) * g[0]));
  for (float threshold : {error, std::nextafter(error, 0.0f)}) {
    auto fresh = functionWithOneBump();
    LevelFitter selecting = makeFitter(*fresh, 1.0f);
    selecting.errorThreshold = threshold;
    selecting.fitLevel(makeSet(kThreeCentres), 0.5f, 2);
    EXPECT_EQ(selecting.stats.selectedCount, threshold == error ? 0 : 2);
  }
}

TEST(LevelFitter, ZeroGradientMakesTheErrorTheAbsoluteValue) {
  for (float threshold : {0.25f, 0.2f, -1.0f}) {
    auto function = makeFunction(-2, 2);
    BasisFunction far{};
    far.centre[0] = far.centre[1] = far.centre[2] = 1.8f;
    far.coeff[9] = 1.0f;
    far.radius = 0.1f;
    far.level = 1;
    function->addLevel({far});
    function->setOffset(0.25f);
    LevelFitter fitter = makeFitter(*function, 1.0f);
    fitter.errorThreshold = threshold;
    fitter.fitLevel(makeSet(kThreeCentres), 0.5f, 2);
    EXPECT_EQ(fitter.stats.selectedCount, threshold == 0.25f ? 0 : 3) << threshold;
  }
}

TEST(LevelFitter, FirstLevelFitsEveryCentreDespiteAThreshold) {
  auto function = makeFunction(-2, 2);
  LevelFitter fitter = makeFitter(*function, 1.0f);
  fitter.errorThreshold = 0.05f;
  fitter.fitLevel(makeSet(kThreeCentres), 0.5f, 1);
  EXPECT_EQ(fitter.stats.selectedCount, 3);
  EXPECT_EQ(function->functionCount(), 3);
}

// Points on a sphere of radius 10 or a torus (radii 7 and 3) with outward
// unit normals.
std::vector<Point> sampleSurface(bool torus, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Point> points;
  const double pi = std::acos(-1.0);
  for (int i = 0; i < count; ++i) {
    const double u = 2 * pi * unit(rng);
    if (torus) {
      const double v = 2 * pi * unit(rng);
      const double nx = std::cos(v) * std::cos(u), ny = std::cos(v) * std::sin(u), nz = std::sin(v);
      points.push_back({float(7 * std::cos(u) + 3 * nx), float(7 * std::sin(u) + 3 * ny), float(3 * nz),
                        float(nx), float(ny), float(nz)});
    } else {
      const double z = 2 * unit(rng) - 1, s = std::sqrt(1 - z * z);
      const double nx = s * std::cos(u), ny = s * std::sin(u);
      points.push_back({float(10 * nx), float(10 * ny), float(10 * z), float(nx), float(ny), float(z)});
    }
  }
  return points;
}

TEST(LevelFitter, FittedFunctionVanishesAtEachLevelsCentres) {
  for (bool torus : {false, true}) {
    test::LevelFitSetup setup(makeSet(sampleSurface(torus, 3000, torus ? 11 : 12)));
    PointOctree& octree = setup.octree;
    const float diagonal = setup.diagonal;
    ImplicitFunction& function = setup.function;
    LevelFitter fitter = makeFitter(function, diagonal);
    float radius = 1.5f * diagonal;
    for (int level = 1; level <= 4; ++level, radius *= 0.5f) {
      PointSet centres = octree.levelCentres(level);
      const PointSet copy = centres;
      fitter.fitLevel(std::move(centres), radius, level);
      ASSERT_LE(fitter.stats.iterations, 1000 * level) << "did not converge";
      // The value at centre j is minus the solver's residual there, whose
      // norm is at most the tolerance times the right-hand side's norm; the
      // slack covers rounding the constants and the value to float.
      double sumSq = 0;
      for (int j = 0; j < copy.count; ++j) {
        const float* p = copy.position(j);
        const double v = function.value(p[0], p[1], p[2]);
        sumSq += v * v;
      }
      const double bound = 1e-5 * diagonal * fitter.stats.rhsNorm + 1e-4 * std::sqrt(copy.count);
      EXPECT_LE(std::sqrt(sumSq), bound) << (torus ? "torus" : "sphere") << " level " << level;
    }
    // Positive inside the solid, negative outside.
    if (torus) {
      EXPECT_GT(function.value(7, 0, 0), 0.0f);
      EXPECT_LT(function.value(0, 0, 0), 0.0f);
    } else {
      EXPECT_GT(function.value(0, 0, 0), 0.0f);
      EXPECT_LT(function.value(0, 0, 13), 0.0f);
    }
  }
}

TEST(LevelFitter, SchwarzConstantsMeetTheStoppingTestOnTheTrueResidualAtEveryLevel) {
  test::LevelFitSetup setup(makeSet(sampleSurface(true, 3000, 21)));
  PointOctree& octree = setup.octree;
  const float diagonal = setup.diagonal;
  ImplicitFunction& function = setup.function;
  LevelFitter fitter = makeFitter(function, diagonal);
  fitter.solver = SolverKind::Schwarz;
  const double tolerance = 1e-5 * diagonal;
  float radius = 1.5f * diagonal;
  for (int level = 1; level <= 6; ++level, radius *= 0.5f) {
    PointSet centres = octree.levelCentres(level);
    // The function's value at each centre before the level, keyed by position.
    std::map<std::array<float, 3>, double> before;
    for (int j = 0; j < centres.count; ++j) {
      const float* p = centres.position(j);
      before[{p[0], p[1], p[2]}] = function.value(p[0], p[1], p[2]);
    }
    fitter.fitLevel(std::move(centres), radius, level);
    EXPECT_LT(fitter.stats.iterations, 100) << "level " << level;

    // The level's system rebuilt by brute force from its records, whose
    // constants are the solution: A = w(|ci - cj|) with 3 on the diagonal,
    // b_j = -f_j - sum_i w * (linear part of record i at cj - ci).
    const std::vector<const BasisFunction*> records = recordsOfLevel(function, level);
    ASSERT_EQ(records.size(), before.size());
    double residualSq = 0, rhsSq = 0, magnitudeSq = 0;
    for (const BasisFunction* rj : records) {
      const double xj = rj->coeff[9];
      double b = -before.at({rj->centre[0], rj->centre[1], rj->centre[2]});
      double ax = 3.0 * xj, magnitude = 3.0 * std::fabs(xj);
      for (const BasisFunction* ri : records) {
        if (ri == rj) continue;
        const float dx = rj->centre[0] - ri->centre[0];
        const float dy = rj->centre[1] - ri->centre[1];
        const float dz = rj->centre[2] - ri->centre[2];
        const double w = weight(std::sqrt(double(dx) * dx + double(dy) * dy + double(dz) * dz), radius);
        if (w == 0) continue;
        b -= w * (ri->coeff[6] * double(dx) + ri->coeff[7] * double(dy) + ri->coeff[8] * double(dz));
        ax += w * ri->coeff[9];
        magnitude += w * std::fabs(ri->coeff[9]);
      }
      residualSq += (b - ax) * (b - ax);
      rhsSq += b * b;
      magnitudeSq += magnitude * magnitude;
    }
    // The solver met the test in double; storing the constants as float may
    // move the residual by at most half an ulp of each term.
    const double rounding = std::ldexp(std::sqrt(magnitudeSq), -24);
    EXPECT_LE(std::sqrt(residualSq), tolerance * std::sqrt(rhsSq) + rounding) << "level " << level;
    EXPECT_LT(rounding, 0.1 * tolerance * std::sqrt(rhsSq)) << "level " << level;
  }
}

}  // namespace
}  // namespace wendfit
