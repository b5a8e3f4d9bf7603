// The result file's numbers must be printf's "%f" text byte for byte: stored
// files and their readers depend on it.

#include "core/fixed_decimal.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace wendfit {
namespace {

// Empty when the fast path declines.
std::string fast(float value) {
  char text[kFixedSixMax];
  return std::string(text, writeFixedSix(text, value));
}

std::string printed(float value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  return text;
}

TEST(FixedDecimal, MatchesPrintfOnRandomFloatsTiesAndSigns) {
  std::mt19937 random(7);
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t bits = random();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    const std::string text = fast(value);
    if (text.empty()) continue;
    ASSERT_EQ(text, printed(value)) << "bits " << bits;
    ++checked;
  }
  EXPECT_GT(checked, 100000);
  // Exact ties at the seventh decimal (k / 2^7) round to even, and negative
  // values that round to zero keep their sign, as printf does.
  for (int k = -2000; k <= 2000; ++k) {
    for (int p = 0; p <= 10; ++p) {
      const float value = static_cast<float>(k) / static_cast<float>(1 << p);
      ASSERT_EQ(fast(value), printed(value)) << k << " / 2^" << p;
    }
  }
  for (float value : {-0.0f, -1e-9f, 4e-7f, 5e-7f, -5e-7f, 0.0000005f, 999999.9375f,
                      std::numeric_limits<float>::denorm_min(), 8.796e12f}) {
    EXPECT_EQ(fast(value), printed(value)) << value;
  }
}

TEST(FixedDecimal, LeavesHugeAndNonFiniteValuesToPrintf) {
  EXPECT_TRUE(fast(std::nanf("")).empty());
  EXPECT_TRUE(fast(std::numeric_limits<float>::infinity()).empty());
  EXPECT_TRUE(fast(-std::numeric_limits<float>::max()).empty());
  EXPECT_TRUE(fast(1e13f).empty());
}

}  // namespace
}  // namespace wendfit
