// The sign guard's one-pass level sums against the plain per-record terms
// and tangent-plane test they replace: the same bits, the same verdicts.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "fitting/level_fitter.h"
#include "fitting/level_terms.h"
#include "function/basis_function.h"
#include "spatial/kd_tree.h"
#include "support/fit_support.h"

namespace wendfit {
namespace {

TEST(LevelTerms, OnePassMatchesTheRecordByRecordSumsAndSideTests) {
  // Centres on a unit sphere with outward normals, a tenth of them flipped,
  // and random first-order constants; probes on, inside and outside it.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  constexpr int kCentres = 3000;
  PointSet centres = test::randomSpherePoints(kCentres, 7);
  for (int i = 0; i < kCentres; i += 10) {
    const float* n = centres.normal(i);
    centres.setNormal(i, -n[0], -n[1], -n[2]);
  }
  KdTree tree(centres);  // reorders the centres; records follow that order
  constexpr float kRadius = 0.3f;
  std::vector<BasisFunction> records(kCentres);
  for (int i = 0; i < kCentres; ++i) {
    BasisFunction& record = records[i];
    std::copy(centres.position(i), centres.position(i) + 3, record.centre);
    std::fill(record.coeff, record.coeff + 10, 0.0f);
    for (int k = 6; k < 10; ++k) record.coeff[k] = unit(rng);
    record.radius = kRadius;
  }
  const LevelTerms terms(centres, records, kRadius, true);
  if (!terms.wide()) GTEST_SKIP() << "this processor has no AVX-512";

  std::vector<std::pair<int, int>> runs;
  std::vector<int> answer;
  int disagreements = 0;
  for (int probe = 0; probe < 400; ++probe) {
    const int self = probe % kCentres;
    const float* c = centres.position(self);
    const float offset = 0.05f * static_cast<float>(probe % 9) - 0.2f;  // -0.2 ... 0.2 along the normal
    const float p[3] = {c[0] * (1 + offset), c[1] * (1 + offset), c[2] * (1 + offset)};
    const float nearRadius = 0.1f + std::fabs(offset);
    const bool outside = offset > 0;
    tree.candidateRuns(p, p, kRadius, runs);
    bool disagrees = false;
    const double sum = terms.sum(p, runs, self, nearRadius, outside, disagrees);

    tree.query(p, kRadius, answer);
    double expected = 0;
    bool expectedDisagrees = false;
    for (int i : answer) {
      const float* ci = centres.position(i);
      const float dx = p[0] - ci[0], dy = p[1] - ci[1], dz = p[2] - ci[2];
      const double d = std::sqrt(static_cast<double>(dz) * dz + static_cast<double>(dy) * dy +
                                 static_cast<double>(dx) * dx);
      expected += levelWeight(d, kRadius, true) * quadric(coefficientsOf(records[i]), dx, dy, dz);
      double side = 0;
      double e[3];
      for (int a = 0; a < 3; ++a) {
        e[a] = static_cast<double>(p[a]) - ci[a];
        side += static_cast<double>(centres.normal(i)[a]) * e[a];
      }
      const double distSq = e[2] * e[2] + e[1] * e[1] + e[0] * e[0];
      const bool near = distSq < static_cast<double>(nearRadius) * nearRadius;
      if (i != self && near && (outside ? !(side > 0) : !(side < 0))) expectedDisagrees = true;
    }
    EXPECT_EQ(sum, expected) << "probe " << probe;
    EXPECT_EQ(disagrees, expectedDisagrees) << "probe " << probe;
    disagreements += disagrees;
  }
  // Both verdicts occur: the probes go deep enough to cross other planes.
  EXPECT_GT(disagreements, 0);
  EXPECT_LT(disagreements, 400);
}

}  // namespace
}  // namespace wendfit
