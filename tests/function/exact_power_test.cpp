#include "function/exact_power.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "support/error_checks.h"

namespace wendfit {
namespace {

using test::bitsOf;

// Compares power<K> with std::pow bit for bit; returns how often the fast
// path was taken.
template <int K>
long expectSameAsPow(double x, long* mismatches) {
  double fast;
  const bool certain = certainPower<K>(x, &fast);
  const double expected = std::pow(x, K);
  if (bitsOf(power<K>(x)) != bitsOf(expected) || (certain && bitsOf(fast) != bitsOf(expected))) {
    if (++*mismatches <= 5) {
      ADD_FAILURE() << "x = " << std::hexfloat << x << ", K = " << K << ": " << power<K>(x)
                    << " != std::pow " << expected;
    }
  }
  return certain ? 1 : 0;
}

TEST(ExactPower, EqualsStdPowBitForBitOnWeightArguments) {
  // 1 - t as the weights form it: t = r / R from float offsets and a float
  // radius, plus plain uniform doubles over [0, 1].
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<float> offset(-1.0f, 1.0f);
  std::uniform_real_distribution<float> radius(1e-3f, 40.0f);
  long mismatches = 0, certain = 0, total = 0;
  for (int i = 0; i < 1500000; ++i) {
    const double x = unit(rng);
    certain += expectSameAsPow<6>(x, &mismatches) + expectSameAsPow<3>(x, &mismatches);
    const float R = radius(rng);
    const double dx = offset(rng) * R, dy = offset(rng) * R, dz = offset(rng) * R;
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double t = r / static_cast<double>(R);
    if (t <= 1.0) {
      certain += expectSameAsPow<6>(1.0 - t, &mismatches) + expectSameAsPow<3>(1.0 - t, &mismatches);
      total += 2;
    }
    total += 2;
  }
  EXPECT_EQ(mismatches, 0);
  // The guard band around the midpoints is about a tenth of all arguments;
  // far more fallbacks would mean the fast path is broken.
  EXPECT_GT(certain, total * 85 / 100) << certain << " of " << total;
}

TEST(ExactPower, EqualsStdPowBitForBitOnDistanceCubes) {
  // r^3 over the distances a fit meets: log-uniform from 1e-6 to 1e3.
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> exponent(-6.0, 3.0);
  long mismatches = 0, certain = 0;
  const int count = 1000000;
  for (int i = 0; i < count; ++i) {
    certain += expectSameAsPow<3>(std::pow(10.0, exponent(rng)), &mismatches);
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(certain, count * 85L / 100);
}

TEST(ExactPower, EdgeArgumentsFallBackToStdPow) {
  long mismatches = 0;
  const double edges[] = {0.0, -0.0, 1.0, 0.5, 0.25, 2.0, -1.0, -0.75,
                          std::numeric_limits<double>::denorm_min(), 1e-60, 1e-200, 1e60, 1e200,
                          std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN(), std::nextafter(1.0, 0.0),
                          std::nextafter(0.5, 1.0)};
  for (double x : edges) {
    expectSameAsPow<6>(x, &mismatches);
    expectSameAsPow<3>(x, &mismatches);
  }
  // NaN compares by bits too: std::pow(NaN, K) is the same quiet NaN.
  EXPECT_EQ(mismatches, 0);
  double out = 42.0;
  EXPECT_FALSE(certainPower<6>(0.5, &out));  // a power of two
  EXPECT_FALSE(certainPower<6>(1e-60, &out));  // subnormal result
  EXPECT_FALSE(certainPower<3>(std::numeric_limits<double>::infinity(), &out));
  EXPECT_EQ(out, 42.0);
}

}  // namespace
}  // namespace wendfit
