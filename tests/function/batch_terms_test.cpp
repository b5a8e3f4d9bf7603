#include "function/batch_terms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "function/implicit_function.h"
#include "io/function_file_reader.h"
#include "support/error_checks.h"
#include "support/hand_made_functions.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::bitsOf;

// The sums of one cell's run from `start`, record by record, as the scalar
// terms form them.
struct RunSums {
  double value;
  double gradient[3];
};

RunSums scalarRun(const EvaluationLayout& layout, int first, int end, const float p[3],
                  double start) {
  RunSums sums{start, {start, start, start}};
  for (int i = first; i < end; ++i) {
    const double dx = static_cast<float>(p[0] - layout.centreX[i]);
    const double dy = static_cast<float>(p[1] - layout.centreY[i]);
    const double dz = static_cast<float>(p[2] - layout.centreZ[i]);
    const double distSq = dx * dx + dy * dy + dz * dz;
    const float radius = layout.radius[i];
    if (distSq > static_cast<double>(radius) * radius) continue;
    const double r = std::sqrt(distSq);
    const QuadricCoefficients c{nullptr, layout.firstOrder[i].data()};
    const double w = weight(r, radius);
    const double q = quadric(c, dx, dy, dz);
    double wGrad[3], qGrad[3];
    weightGradient(wGrad, r, radius, dx, dy, dz);
    quadricGradient(qGrad, c, dx, dy, dz);
    for (int a = 0; a < 3; ++a) sums.gradient[a] += q * wGrad[a] + w * qGrad[a];
    sums.value += w * q;
  }
  return sums;
}

TEST(BatchTerms, EveryRunGivesTheRecordByRecordBits) {
  if (!batchTermsAvailable()) GTEST_SKIP() << "no AVX2 on this processor";
  long runs = 0;
  for (int seed = 0; seed < 8; ++seed) {
    std::mt19937 rng(700 + seed);
    std::uniform_real_distribution<float> inside(-2.0f, 2.0f);
    std::uniform_real_distribution<float> coeff(-1.5f, 1.5f);
    // One level of first-order records crowded into a few cells, so that
    // runs of every length meet points in and out of reach.
    const float boxMin[3] = {-4.0f, -4.0f, -4.0f}, boxMax[3] = {4.0f, 4.0f, 4.0f};
    ImplicitFunction function(boxMin, boxMax, nullptr);
    std::vector<BasisFunction> records(150 + 37 * seed);
    for (BasisFunction& f : records) {
      f = BasisFunction{};
      for (float& c : f.centre) c = inside(rng);
      for (int k = 6; k < 10; ++k) f.coeff[k] = coeff(rng);
      f.radius = 1.5f;
      f.level = 1;
    }
    function.addLevel(records);
    const EvaluationLayout layout = buildEvaluationLayout(function.root());
    // Random points, record centres (t = 0) and points exactly one radius
    // away along an axis (t = 1): both ends of the weight.
    std::vector<std::array<float, 3>> points;
    for (int i = 0; i < 200; ++i) points.push_back({inside(rng), inside(rng), inside(rng)});
    for (int i = 0; i < 20; ++i) {
      const BasisFunction& f = records[i];
      points.push_back({f.centre[0], f.centre[1], f.centre[2]});
      points.push_back({f.centre[0] + f.radius, f.centre[1], f.centre[2]});
    }
    for (const auto& p : points) {
      for (const EvaluationLayout::Cell& cell : layout.cells) {
        if (cell.recordCount == 0) continue;
        ASSERT_LT(cell.firstSecondOrder, 0);
        const int first = cell.firstRecord, end = first + cell.recordCount;
        // A nonzero start shows that the run's terms are added onto it.
        const double start = 0.125;
        const RunSums expected = scalarRun(layout, first, end, p.data(), start);
        double gradient[3] = {start, start, start};
        const double value = addValueTerms(layout, first, end, p[0], p[1], p[2], start);
        const double both = addGradientTerms(layout, first, end, p[0], p[1], p[2], start, gradient);
        ASSERT_EQ(bitsOf(value), bitsOf(expected.value)) << p[0] << " " << p[1] << " " << p[2];
        ASSERT_EQ(bitsOf(both), bitsOf(expected.value)) << p[0] << " " << p[1] << " " << p[2];
        for (int a = 0; a < 3; ++a) ASSERT_EQ(bitsOf(gradient[a]), bitsOf(expected.gradient[a])) << a;
        ++runs;
      }
    }
  }
  EXPECT_GT(runs, 1000);
}

TEST(BatchTerms, ExactGradientIsTheDerivativeOfTheValue) {
  // Records with and without second-order coefficients (the batch lanes and
  // the record-by-record terms), checked against central differences of
  // value() in double.
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> inside(-2.0f, 2.0f);
  std::uniform_real_distribution<float> coeff(-1.0f, 1.0f);
  const float boxMin[3] = {-4.0f, -4.0f, -4.0f}, boxMax[3] = {4.0f, 4.0f, 4.0f};
  ImplicitFunction function(boxMin, boxMax, nullptr);
  for (int level = 0; level < 3; ++level) {
    std::vector<BasisFunction> records(40);
    for (size_t i = 0; i < records.size(); ++i) {
      BasisFunction& f = records[i];
      f = BasisFunction{};
      for (float& c : f.centre) c = inside(rng);
      for (int k = i % 3 == 0 ? 0 : 6; k < 10; ++k) f.coeff[k] = coeff(rng);
      f.radius = 3.0f / static_cast<float>(1 << level);
      f.level = level + 1;
    }
    function.addLevel(records);
  }
  const double h = 1e-3;
  int compared = 0;
  for (int i = 0; i < 300; ++i) {
    const float p[3] = {inside(rng), inside(rng), inside(rng)};
    float gradient[3];
    const float value = function.valueAndExactGradient(gradient, p[0], p[1], p[2]);
    EXPECT_NEAR(value, function.value(p[0], p[1], p[2]), 1e-5f * (1.0f + std::fabs(value)));
    // The extraction's corner values and its vertex placement see one function.
    EXPECT_EQ(bitsOf(function.plainValue(p[0], p[1], p[2])), bitsOf(value));
    // The fast selection's gradient is the designed one, up to rounding.
    float designed[3], plain[3];
    const float designedValue = function.valueAndGradient(designed, p[0], p[1], p[2]);
    EXPECT_NEAR(function.plainValueAndGradient(plain, p[0], p[1], p[2]), designedValue,
                1e-5f * (1.0f + std::fabs(designedValue)));
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(plain[a], designed[a], 1e-5f * (1.0f + std::fabs(designed[a])));
    for (int a = 0; a < 3; ++a) {
      float up[3] = {p[0], p[1], p[2]}, down[3] = {p[0], p[1], p[2]};
      up[a] = static_cast<float>(p[a] + h);
      down[a] = static_cast<float>(p[a] - h);
      const double difference = (static_cast<double>(function.value(up[0], up[1], up[2])) -
                                 function.value(down[0], down[1], down[2])) /
                                (static_cast<double>(up[a]) - down[a]);
      // Float values limit the difference to about 1e-7 / h relative.
      EXPECT_NEAR(gradient[a], difference, 2e-3 * (1.0 + std::fabs(difference))) << a;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 900);
}

TEST(BatchTerms, GroupValuesAreThePointValues) {
  // A fitted sphere of radius 10 (box [-10, 10]^3). One call gets runs of
  // neighbours on the surface and just off it (groups), interrupted by
  // points outside the box and by far jumps that end a group early, so
  // groups of every size meet. Which points share a group must not change
  // a single bit: the extraction evaluates grid points in groups and relies
  // on every block seeing the same value at a shared point.
  const test::TempDir dir;
  const std::unique_ptr<ImplicitFunction> function =
      readFunctionFile(test::fitUnitSphere(dir, 3000, 6));
  ASSERT_TRUE(function->hasEvaluationLayout());
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> jitter(-0.3, 0.3);
  std::vector<float> xyz;
  const int runs = 40;
  for (int run = 0; run < runs; ++run) {
    const int length = 1 + run * 7 % 150;
    double centre[3];
    test::spiralPoint(run * 37 % runs, runs, centre);
    for (int i = 0; i < length; ++i) {
      for (double c : centre) xyz.push_back(static_cast<float>((10.0 + jitter(rng)) * c + jitter(rng)));
    }
    if (run % 5 == 0) xyz.insert(xyz.end(), {25.0f, 0.0f, -3.0f});  // outside the box
    if (run % 7 == 0) xyz.insert(xyz.end(), {10.0f, 10.0f, 10.0f});  // its corner
  }
  const int count = static_cast<int>(xyz.size() / 3);
  std::vector<float> values(count), withGradient(count), gradients(3 * count);
  // Both lane widths of the group terms, where the processor has them.
  for (const bool wide : {true, false}) {
    SCOPED_TRACE(allowWideGroupTerms(wide) ? "16 points at once" : "8 points at once");
    function->plainValues(xyz.data(), count, values.data());
    function->valuesAndExactGradients(xyz.data(), count, withGradient.data(), gradients.data());
    int negative = 0;
    for (int i = 0; i < count; ++i) {
      const float* p = &xyz[3 * i];
      ASSERT_EQ(bitsOf(values[i]), bitsOf(function->plainValue(p[0], p[1], p[2])))
          << i << ": " << p[0] << " " << p[1] << " " << p[2];
      float gradient[3];
      ASSERT_EQ(bitsOf(withGradient[i]),
                bitsOf(function->valueAndExactGradient(gradient, p[0], p[1], p[2])))
          << i;
      for (int a = 0; a < 3; ++a) ASSERT_EQ(bitsOf(gradients[3 * i + a]), bitsOf(gradient[a])) << i;
      negative += values[i] < 0.0f ? 1 : 0;
    }
    // The points straddle the surface.
    EXPECT_GT(negative, count / 5);
    EXPECT_LT(negative, 4 * count / 5);
  }
  allowWideGroupTerms(true);

  // The single-precision terms: again each point's own, alone or in any
  // group, and within float rounding of the full terms (relative to the
  // gradient's length, which reaches 140 here).
  std::vector<float> quick(count), quickWithGradient(count), quickGradients(3 * count);
  function->plainValues(xyz.data(), count, quick.data(), true);
  function->quickValuesAndGradients(xyz.data(), count, quickWithGradient.data(), quickGradients.data());
  // Eight points at a time give the bits of sixteen, with either gradient.
  for (const bool designed : {false, true}) {
    std::vector<float> wide[2], wideGradients[2];
    for (const bool allowed : {true, false}) {
      allowWideGroupTerms(allowed);
      wide[allowed].resize(count);
      wideGradients[allowed].resize(3 * count);
      function->quickValuesAndGradients(xyz.data(), count, wide[allowed].data(),
                                        wideGradients[allowed].data(), designed);
    }
    allowWideGroupTerms(true);
    EXPECT_EQ(0, std::memcmp(wide[0].data(), wide[1].data(), count * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(wideGradients[0].data(), wideGradients[1].data(), 3 * count * sizeof(float)));
  }
  double largest = 0.0, largestGradient = 0.0;
  for (int i = 0; i < count; ++i) {
    const float* p = &xyz[3 * i];
    float alone, aloneWithGradient, gradient[3];
    function->plainValues(p, 1, &alone, true);
    function->quickValuesAndGradients(p, 1, &aloneWithGradient, gradient);
    ASSERT_EQ(bitsOf(quick[i]), bitsOf(alone)) << i;
    ASSERT_EQ(bitsOf(quickWithGradient[i]), bitsOf(aloneWithGradient)) << i;
    ASSERT_EQ(bitsOf(quick[i]), bitsOf(quickWithGradient[i])) << i;
    for (int a = 0; a < 3; ++a) ASSERT_EQ(bitsOf(quickGradients[3 * i + a]), bitsOf(gradient[a])) << i;

    float exact[3];
    function->valueAndExactGradient(exact, p[0], p[1], p[2]);
    const double length = std::sqrt(double{exact[0]} * exact[0] + double{exact[1]} * exact[1] +
                                    double{exact[2]} * exact[2]);
    if (length > 0.0) {
      largest = std::max(largest, std::fabs(static_cast<double>(quick[i]) - values[i]) / length);
    }
    // The designed gradient too (the error selection's).
    float designed[3], quickDesigned[3], designedValue;
    function->plainValueAndGradient(designed, p[0], p[1], p[2]);
    function->quickValuesAndGradients(p, 1, &designedValue, quickDesigned, true);
    ASSERT_EQ(bitsOf(designedValue), bitsOf(quick[i])) << i;
    for (int a = 0; a < 3; ++a) {
      largestGradient = std::max(largestGradient, std::fabs(double{gradient[a]} - exact[a]) / (1.0 + length));
      largestGradient =
          std::max(largestGradient, std::fabs(double{quickDesigned[a]} - designed[a]) / (1.0 + length));
    }
  }
  // The zero set moves by the value's error over the gradient's length:
  // here by under 2e-5 (1e-6 of the box); it measures 3.5e-6.
  EXPECT_LT(largest, 2e-5);
  EXPECT_LT(largestGradient, 2e-6);
}

TEST(BatchTerms, QuickTermsBeyondTheFloatRangeFallBackToDoubles) {
  // Two records that cancel, each far beyond what a float product holds:
  // float terms give infinities and NaN, the double ones their sum, 0.
  auto function = test::emptyFunction(-10.0f, 10.0f, -1.0f);
  std::vector<BasisFunction> records = {test::constantRecord(0, 0, 0, 5.0f, 3e38f, 1),
                                        test::constantRecord(0, 0, 0, 5.0f, -3e38f, 1)};
  function->addLevel(records);
  const float p[3] = {0.5f, 0.0f, 0.0f};
  float quick, gradient[3];
  function->quickValuesAndGradients(p, 1, &quick, gradient);
  EXPECT_EQ(quick, function->plainValue(p[0], p[1], p[2]));
  EXPECT_EQ(quick, -1.0f);
  for (float g : gradient) EXPECT_TRUE(std::isfinite(g));
}

}  // namespace
}  // namespace wendfit
