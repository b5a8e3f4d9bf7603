#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "function/implicit_function.h"
#include "support/hand_made_functions.h"

namespace wendfit {
namespace {

// A record with every coefficient 0 at level 1; tests set the ones they need.
BasisFunction makeRecord(float x, float y, float z, float radius) {
  return test::constantRecord(x, y, z, radius, 0.0f, 1);
}

using test::emptyFunction;

// Reference sums over every record, without the tree, term by term as the
// evaluation defines them.
struct BruteForce {
  double value = 0, valueAbs = 0;
  double gradient[3] = {0, 0, 0}, gradientAbs = 0;
  double derivGradient[3] = {0, 0, 0}, derivGradientAbs = 0;
  double hessian[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0}, hessianAbs = 0;
};

BruteForce bruteForce(const std::vector<BasisFunction>& records, float x, float y, float z) {
  BruteForce sum;
  for (const BasisFunction& f : records) {
    double dx = static_cast<float>(x - f.centre[0]);
    double dy = static_cast<float>(y - f.centre[1]);
    double dz = static_cast<float>(z - f.centre[2]);
    double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (r <= f.radius) {
      double w = weight(r, f.radius);
      double q = f.quadric(dx, dy, dz);
      double wGrad[3];
      double qGrad[3];
      weightGradient(wGrad, r, f.radius, dx, dy, dz);
      f.quadricGradient(qGrad, dx, dy, dz);
      sum.value += w * q;
      sum.valueAbs += std::fabs(w * q);
      for (int i = 0; i < 3; ++i) {
        double term = q * wGrad[i] + w * qGrad[i];
        sum.gradient[i] += term;
        sum.gradientAbs += std::fabs(term);
      }
    }
    double g[3];
    double h[9];
    f.derivatives(g, h, x, y, z);
    for (int i = 0; i < 3; ++i) {
      sum.derivGradient[i] += g[i];
      sum.derivGradientAbs += std::fabs(g[i]);
    }
    for (int i = 0; i < 9; ++i) {
      sum.hessian[i] += h[i];
      sum.hessianAbs += std::fabs(h[i]);
    }
  }
  return sum;
}

// Curvatures of the level set from summed derivatives: half the divergence
// of the unit normal, and G^T adj(H) G / |G|^4.
void referenceCurvatures(const double g[3], const double h[9], double* mean, double* gaussian) {
  double n2 = g[0] * g[0] + g[1] * g[1] + g[2] * g[2];
  double gHg = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) gHg += g[i] * h[3 * i + j] * g[j];
  *mean = 0.5 * (n2 * (h[0] + h[4] + h[8]) - gHg) / (n2 * std::sqrt(n2));
  double adj[9];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      adj[3 * j + i] = h[3 * i1 + j1] * h[3 * i2 + j2] - h[3 * i1 + j2] * h[3 * i2 + j1];
    }
  }
  double gAg = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) gAg += g[i] * adj[3 * i + j] * g[j];
  *gaussian = gAg / (n2 * n2);
}

int treeDepth(const FunctionCell& cell) {
  int deepest = 0;
  if (cell.children) {
    for (const auto& child : *cell.children)
      if (child) deepest = std::max(deepest, treeDepth(*child));
  }
  return deepest + 1;
}

// Records on a dyadic grid of the root cube, so that many centres sit exactly
// on cell borders or one float step away, with radii that straddle the
// half-size thresholds of the insertion.
std::vector<std::vector<BasisFunction>> randomLevels(std::mt19937& rng, float half) {
  std::uniform_int_distribution<int> grid(-64, 64);
  std::uniform_int_distribution<int> jitter(-1, 1);
  std::uniform_real_distribution<float> coeff(-1.0f, 1.0f);
  std::vector<std::vector<BasisFunction>> levels;
  for (int level = 0; level < 7; ++level) {
    float levelRadius = 1.5f * half / static_cast<float>(1 << level);
    std::vector<BasisFunction> records;
    int count = 3 + 6 * level;
    for (int i = 0; i < count; ++i) {
      float c[3];
      for (float& v : c) {
        v = half * static_cast<float>(grid(rng)) / 64.0f;
        int step = jitter(rng);
        if (step != 0) v = std::nextafter(v, step > 0 ? 1e9f : -1e9f);
      }
      float radius = levelRadius;
      int kind = i % 4;
      if (kind == 1) radius = half / static_cast<float>(1 << level);  // 2R == a halfSize
      if (kind == 2) radius = std::nextafter(radius, 0.0f);
      BasisFunction f = makeRecord(c[0], c[1], c[2], radius);
      for (float& k : f.coeff) k = coeff(rng);
      f.level = level + 1;
      records.push_back(f);
    }
    levels.push_back(records);
  }
  return levels;
}

// Query points: random, on the box faces, at record centres, exactly at and
// just inside support boundaries, and a little outside the box.
std::vector<std::array<float, 3>> queryPoints(std::mt19937& rng,
                                              const std::vector<BasisFunction>& records,
                                              float half) {
  std::uniform_real_distribution<float> inside(-half, half);
  std::uniform_real_distribution<float> around(-1.2f * half, 1.2f * half);
  std::vector<std::array<float, 3>> points;
  for (int i = 0; i < 300; ++i) points.push_back({inside(rng), inside(rng), inside(rng)});
  for (int i = 0; i < 60; ++i) points.push_back({around(rng), around(rng), around(rng)});
  for (int i = 0; i < 60; ++i) {
    std::array<float, 3> p = {inside(rng), inside(rng), inside(rng)};
    p[i % 3] = (i % 2 == 0) ? half : -half;
    points.push_back(p);
  }
  for (size_t i = 0; i < records.size(); i += 3) {
    const BasisFunction& f = records[i];
    int axis = static_cast<int>(i % 3);
    std::array<float, 3> p = {f.centre[0], f.centre[1], f.centre[2]};
    points.push_back(p);
    p[axis] = f.centre[axis] + f.radius;
    points.push_back(p);
    p[axis] = f.centre[axis] - f.radius;
    points.push_back(p);
    p[axis] = std::nextafter(f.centre[axis] + f.radius, f.centre[axis]);
    points.push_back(p);
  }
  return points;
}

void expectClose(double actual, double expected, double scale, const char* what, int point) {
  double tolerance = 2.5e-7 * std::fabs(expected) + 1e-12 * scale + 1e-30;
  EXPECT_NEAR(actual, expected, tolerance) << what << " at query " << point;
}

TEST(Evaluation, PrunedDescentMatchesBruteForceOnRandomTrees) {
  for (int seed = 0; seed < 12; ++seed) {
    std::mt19937 rng(100 + seed);
    const float half = 8.0f;
    auto function = emptyFunction(-half, half, 0.25f);
    std::vector<BasisFunction> all;
    for (auto& level : randomLevels(rng, half)) {
      all.insert(all.end(), level.begin(), level.end());
      function->addLevel(level);
    }
    ASSERT_EQ(function->functionCount(), static_cast<long>(all.size()));
    ASSERT_GE(treeDepth(function->root()), 6);
    auto points = queryPoints(rng, all, half);
    for (size_t i = 0; i < points.size(); ++i) {
      const float x = points[i][0], y = points[i][1], z = points[i][2];
      const int at = static_cast<int>(i);
      BruteForce ref = bruteForce(all, x, y, z);
      bool inBox = std::fabs(x) <= half && std::fabs(y) <= half && std::fabs(z) <= half;
      float grad[3];
      float value = function->valueAndGradient(grad, x, y, z);
      float gradOnly[3];
      function->gradient(gradOnly, x, y, z);
      EXPECT_EQ(function->value(x, y, z), value) << at;
      if (inBox) {
        expectClose(value, ref.value + 0.25, ref.valueAbs, "value", at);
        for (int a = 0; a < 3; ++a) {
          expectClose(grad[a], ref.gradient[a], ref.gradientAbs, "gradient", at);
          EXPECT_EQ(gradOnly[a], grad[a]) << at;
        }
      } else {
        EXPECT_EQ(value, 0.25f) << at;
        for (int a = 0; a < 3; ++a) EXPECT_EQ(grad[a], 0.0f) << at;
      }

      double mean, gaussian, refMean, refGaussian;
      function->curvatures(&mean, &gaussian, x, y, z);
      ASSERT_TRUE(std::isfinite(mean) && std::isfinite(gaussian)) << at;
      const double* g = ref.derivGradient;
      double norm = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
      if (ref.derivGradientAbs == 0) {
        EXPECT_EQ(mean, 0.0) << at;
        EXPECT_EQ(gaussian, 0.0) << at;
        continue;
      }
      // Skip points where cancellation makes the curvature ill-conditioned.
      if (norm < 1e-3 * ref.derivGradientAbs) continue;
      referenceCurvatures(g, ref.hessian, &refMean, &refGaussian);
      double scale = ref.hessianAbs / norm + ref.derivGradientAbs * ref.hessianAbs / (norm * norm);
      EXPECT_NEAR(mean, refMean, 1e-10 * scale) << "mean at query " << at;
      EXPECT_NEAR(gaussian, refGaussian, 1e-10 * scale * scale) << "gaussian at query " << at;
    }
  }
}

TEST(Evaluation, SingleBasisFunctionFollowsTheClosedForms) {
  auto function = emptyFunction(-4.0f, 4.0f, 0.125f);
  BasisFunction f = makeRecord(0.5f, -0.25f, 1.0f, 2.0f);
  f.coeff[9] = 1.0f;
  function->addLevel({f});
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> offset(-1.2f, 1.2f);
  for (int i = 0; i < 200; ++i) {
    float p[3] = {f.centre[0] + offset(rng), f.centre[1] + offset(rng), f.centre[2] + offset(rng)};
    double d[3];
    for (int a = 0; a < 3; ++a) d[a] = static_cast<float>(p[a] - f.centre[a]);
    double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double t = r / 2.0;
    double expected = 0.125;
    double k = 0;
    if (t <= 1) {
      expected += std::pow(1 - t, 6) * (35 * t * t + 18 * t + 3);
      k = -20 * std::pow(1 - t, 3) / 4.0;
    }
    EXPECT_NEAR(function->value(p[0], p[1], p[2]), expected, 1e-6) << "r " << r;
    float grad[3];
    function->gradient(grad, p[0], p[1], p[2]);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(grad[a], k * d[a], 1e-6) << "r " << r;
  }
}

TEST(Evaluation, CentreAndSupportBoundaryGiveTheirExactTerms) {
  auto function = emptyFunction(-4.0f, 4.0f, 0.5f);
  BasisFunction f = makeRecord(1.0f, 1.0f, -1.0f, 2.0f);
  for (int i = 0; i < 10; ++i) f.coeff[i] = static_cast<float>(i + 1);
  function->addLevel({f});
  float grad[3];
  // At the centre only the constant and linear coefficients survive, times 3.
  EXPECT_EQ(function->valueAndGradient(grad, 1.0f, 1.0f, -1.0f), 3.0f * 10.0f + 0.5f);
  EXPECT_EQ(grad[0], 21.0f);
  EXPECT_EQ(grad[1], 24.0f);
  EXPECT_EQ(grad[2], 27.0f);
  // Curvatures leave out a record centred exactly at the point.
  double mean = 1, gaussian = 1;
  function->curvatures(&mean, &gaussian, 1.0f, 1.0f, -1.0f);
  EXPECT_EQ(mean, 0.0);
  EXPECT_EQ(gaussian, 0.0);
  // Exactly at distance R the term is zero, value and gradient alike.
  EXPECT_EQ(function->valueAndGradient(grad, 3.0f, 1.0f, -1.0f), 0.5f);
  EXPECT_EQ(grad[0], 0.0f);
  EXPECT_EQ(function->value(1.0f, 1.0f, -3.0f), 0.5f);
}

TEST(Evaluation, OutsideTheBoxTheValueIsTheOffsetAndFacesAreInside) {
  auto function = emptyFunction(-2.0f, 2.0f, -0.75f);
  BasisFunction f = makeRecord(2.0f, 0.0f, 0.0f, 1.0f);
  f.coeff[9] = 1.0f;
  f.coeff[6] = 2.0f;
  function->addLevel({f});
  float grad[3];
  EXPECT_EQ(function->valueAndGradient(grad, 2.0f, 0.0f, 0.0f), 3.0f - 0.75f);
  EXPECT_EQ(grad[0], 6.0f);
  const float outside = std::nextafter(2.0f, 3.0f);
  EXPECT_EQ(function->value(outside, 0.0f, 0.0f), -0.75f);
  EXPECT_EQ(function->valueAndGradient(grad, outside, 0.0f, 0.0f), -0.75f);
  for (float g : grad) EXPECT_EQ(g, 0.0f);
  function->gradient(grad, outside, 0.0f, 0.0f);
  for (float g : grad) EXPECT_EQ(g, 0.0f);
  EXPECT_NE(function->value(2.0f, 0.5f, -0.25f), -0.75f);  // on the face x = 2
  EXPECT_EQ(function->value(2.0f, 0.5f, std::nextafter(-2.0f, -3.0f)), -0.75f);
  // Curvatures have no box test: just outside they still see the record.
  double mean = 0, gaussian = 0;
  function->curvatures(&mean, &gaussian, 2.5f, 0.25f, 0.0f);
  EXPECT_NE(mean, 0.0);
}

TEST(Evaluation, EmptyFunctionIsItsOffsetEverywhere) {
  auto function = emptyFunction(-1.0f, 3.0f, 0.0f);
  EXPECT_EQ(function->value(1.0f, 1.0f, 1.0f), 0.0f);
  function->addLevel({});
  function->setOffset(2.5f);
  float grad[3] = {1, 1, 1};
  EXPECT_EQ(function->valueAndGradient(grad, 0.0f, 2.0f, -1.0f), 2.5f);
  for (float g : grad) EXPECT_EQ(g, 0.0f);
  double mean = 1, gaussian = 1;
  function->curvatures(&mean, &gaussian, 0.0f, 2.0f, -1.0f);
  EXPECT_EQ(mean, 0.0);
  EXPECT_EQ(gaussian, 0.0);
}

TEST(Curvatures, SphereGivesInverseRadiusAndItsSquare) {
  // w(r) (r^2 - rho^2) is radial, so its level sets are spheres; on the zero
  // set the sphere has radius rho and the values grow outward.
  const float rho = 1.5f;
  for (float sign : {1.0f, -1.0f}) {
    auto function = emptyFunction(-8.0f, 8.0f, 0.0f);
    BasisFunction f = makeRecord(0.5f, 0.25f, -0.5f, 4.0f);
    f.coeff[0] = f.coeff[1] = f.coeff[2] = sign;
    f.coeff[9] = -sign * rho * rho;
    function->addLevel({f});
    std::mt19937 rng(21);
    std::normal_distribution<double> gauss(0.0, 1.0);
    for (int i = 0; i < 50; ++i) {
      double u[3] = {gauss(rng), gauss(rng), gauss(rng)};
      double len = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
      float p[3];
      for (int a = 0; a < 3; ++a) p[a] = f.centre[a] + static_cast<float>(rho * u[a] / len);
      double mean, gaussian;
      function->curvatures(&mean, &gaussian, p[0], p[1], p[2]);
      EXPECT_NEAR(mean, sign / rho, 1e-5) << "sign " << sign;
      EXPECT_NEAR(gaussian, 1.0 / (rho * rho), 1e-5) << "sign " << sign;
      EXPECT_NEAR(function->value(p[0], p[1], p[2]), 0.0f, 1e-5);
    }
  }
}

TEST(Curvatures, PlaneThroughACentreIsFlat) {
  // A linear quadric vanishes on a plane through the centre; there the
  // gradient is along the normal and the Hessian has no tangential part.
  auto function = emptyFunction(-8.0f, 8.0f, 0.0f);
  BasisFunction f = makeRecord(0.0f, 0.0f, 0.0f, 3.0f);
  f.coeff[6] = 0.0f;
  f.coeff[7] = 0.6f;
  f.coeff[8] = 0.8f;
  function->addLevel({f});
  const float points[][3] = {{1.0f, 0.0f, 0.0f}, {-2.0f, 0.0f, 0.0f}, {0.5f, 0.8f, -0.6f},
                             {1.25f, -1.6f, 1.2f}, {-0.5f, 0.4f, -0.3f}};
  for (const auto& p : points) {
    double mean = 1, gaussian = 1;
    function->curvatures(&mean, &gaussian, p[0], p[1], p[2]);
    EXPECT_NEAR(mean, 0.0, 1e-7) << p[0] << " " << p[1] << " " << p[2];
    EXPECT_NEAR(gaussian, 0.0, 1e-7) << p[0] << " " << p[1] << " " << p[2];
  }
}

// Every result of one evaluation, as bits: value, gradient, curvatures.
std::vector<double> evaluateAt(const ImplicitFunction& function, const std::array<float, 3>& p) {
  float grad[3];
  double mean, gaussian;
  std::vector<double> out{function.valueAndGradient(grad, p[0], p[1], p[2])};
  out.insert(out.end(), {grad[0], grad[1], grad[2], function.value(p[0], p[1], p[2])});
  function.curvatures(&mean, &gaussian, p[0], p[1], p[2]);
  out.insert(out.end(), {mean, gaussian});
  return out;
}

TEST(Evaluation, LayoutGivesTheTreeDescentsBitsAndInsertMakesItStale) {
  for (int seed = 0; seed < 6; ++seed) {
    std::mt19937 rng(500 + seed);
    auto levels = randomLevels(rng, 8.0f);
    // Half the records first-order only, as the fitter makes them.
    for (auto& level : levels)
      for (size_t i = 0; i < level.size(); i += 2) std::fill(level[i].coeff, level[i].coeff + 6, 0.0f);
    auto flat = emptyFunction(-8.0f, 8.0f, 0.25f);
    auto tree = emptyFunction(-8.0f, 8.0f, 0.25f);
    std::vector<BasisFunction> all;
    for (auto& level : levels) {
      flat->addLevel(level);
      all.insert(all.end(), level.begin(), level.end());
    }
    for (const BasisFunction& f : all) tree->insert(&f);
    ASSERT_TRUE(flat->hasEvaluationLayout());
    ASSERT_FALSE(tree->hasEvaluationLayout());
    for (const auto& p : queryPoints(rng, all, 8.0f)) {
      EXPECT_EQ(evaluateAt(*flat, p), evaluateAt(*tree, p)) << p[0] << " " << p[1] << " " << p[2];
    }
    // A record inserted behind the layout's back is seen at once.
    BasisFunction extra = makeRecord(1.0f, 1.0f, 1.0f, 0.5f);
    extra.coeff[9] = 1.0f;
    const float before = flat->value(1.0f, 1.0f, 1.0f);
    flat->insert(&extra);
    EXPECT_FALSE(flat->hasEvaluationLayout());
    EXPECT_NEAR(flat->value(1.0f, 1.0f, 1.0f), before + 3.0, 1e-5);
  }
}

TEST(Evaluation, FirstOrderRecordsGiveTheFullQuadricsBits) {
  // A record without second-order coefficients takes the short quadric; one
  // record alone must give exactly weight * Q and its gradient term.
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> coeff(-2.0f, 2.0f);
  std::uniform_real_distribution<float> offset(-1.0f, 1.0f);
  for (int i = 0; i < 200; ++i) {
    BasisFunction f = makeRecord(coeff(rng), coeff(rng), coeff(rng), 1.0f + coeff(rng) * 0.25f);
    for (int k = 6; k < 10; ++k) f.coeff[k] = coeff(rng);
    auto function = emptyFunction(-4.0f, 4.0f, 0.0f);
    function->addLevel({f});
    for (int j = 0; j < 20; ++j) {
      const float p[3] = {f.centre[0] + offset(rng), f.centre[1] + offset(rng), f.centre[2] + offset(rng)};
      const double d[3] = {static_cast<float>(p[0] - f.centre[0]), static_cast<float>(p[1] - f.centre[1]),
                           static_cast<float>(p[2] - f.centre[2])};
      const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      double w = 0, q = 0, wGrad[3] = {0, 0, 0}, qGrad[3] = {0, 0, 0};
      if (r <= f.radius) {
        w = weight(r, f.radius);
        q = f.quadric(d[0], d[1], d[2]);
        weightGradient(wGrad, r, f.radius, d[0], d[1], d[2]);
        f.quadricGradient(qGrad, d[0], d[1], d[2]);
      }
      float grad[3];
      EXPECT_EQ(function->valueAndGradient(grad, p[0], p[1], p[2]), static_cast<float>(w * q + 0.0));
      for (int a = 0; a < 3; ++a) EXPECT_EQ(grad[a], static_cast<float>(q * wGrad[a] + w * qGrad[a]));
    }
  }
}

TEST(Evaluation, ConcurrentEvaluationsAgreeWithSerialOnes) {
  std::mt19937 rng(31);
  auto function = emptyFunction(-8.0f, 8.0f, 0.0f);
  for (auto& level : randomLevels(rng, 8.0f)) function->addLevel(level);
  std::uniform_real_distribution<float> coord(-8.0f, 8.0f);
  std::vector<std::array<float, 3>> points(400);
  for (auto& p : points) p = {coord(rng), coord(rng), coord(rng)};
  auto evaluateAll = [&](std::vector<double>& out) {
    for (const auto& p : points) {
      float grad[3];
      double mean, gaussian;
      out.push_back(function->valueAndGradient(grad, p[0], p[1], p[2]));
      out.insert(out.end(), {grad[0], grad[1], grad[2]});
      function->curvatures(&mean, &gaussian, p[0], p[1], p[2]);
      out.insert(out.end(), {mean, gaussian});
    }
  };
  std::vector<double> serial;
  evaluateAll(serial);
  std::vector<std::vector<double>> results(4);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&evaluateAll, &r] { evaluateAll(r); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, serial);
}

}  // namespace
}  // namespace wendfit
