#pragma once
// power<K>(x): x^K for K = 3 or 6, bit for bit what std::pow(x, K) returns,
// at a fraction of its cost. The fitted constants depend on the last bit of
// every weight, so a faster power is only acceptable if it never differs.
//
// Method: x^K is formed by multiplication in the x87 extended format (64-bit
// significand). With at most five roundings of relative size 2^-64 each, the
// product L lies within 5 units of its last place of the true power V; one
// unit is 2^-11 of a double ULP. L is rounded to the double D and accepted
// only when L lies at least kGuard units (0.05 ULP + the 5 units of L's own
// error) from every midpoint between adjacent doubles and D is no power of two
// (where the ULPs on either side differ). Then:
//   - V lies on the same side of every midpoint as L, so D is V correctly
//     rounded, and |V - D| <= 0.45 ULP;
//   - the neighbours D +- 1 ULP are at least 0.55 ULP from V. glibc documents
//     pow's worst-case error as 0.54 ULP, so std::pow can only return D.
// Every other input (about 10 % of arguments in (0, 1); zero, subnormal or
// huge results, NaN, infinity) goes to std::pow itself. Where long double is
// not the x87 format, power<K> is std::pow.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace wendfit {

namespace exact_power_detail {

// Half-width, in units of 2^-11 double ULP, of the band around a midpoint in
// which the extended product is not trusted: 0.05 ULP (0.04 for pow's error
// beyond half an ULP, 0.01 to spare) is 102.4 units, plus 5 units for the
// rounding error of the product itself.
constexpr std::uint64_t kGuard = 108;
constexpr std::uint64_t kMidpoint = 0x400;  // half a double ULP in these units

}  // namespace exact_power_detail

// Stores x^K, correctly rounded, in *out and returns true when that value is
// certain to equal std::pow(x, K) (see above); returns false otherwise and
// leaves *out alone.
template <int K>
inline bool certainPower(double x, double* out) {
  static_assert(K == 3 || K == 6, "the error bound above covers K = 3 and K = 6");
  if constexpr (std::numeric_limits<long double>::digits != 64 ||
                sizeof(long double) < 10) {
    (void)x;
    (void)out;
    return false;
  } else {
    using namespace exact_power_detail;
    const long double lx = x;
    const long double cube = lx * lx * lx;
    const long double product = K == 3 ? cube : cube * cube;
    unsigned char bytes[sizeof(long double)];
    std::memcpy(bytes, &product, sizeof product);
    std::uint64_t significand;
    std::uint16_t signAndExponent;
    std::memcpy(&significand, bytes, 8);
    std::memcpy(&signAndExponent, bytes + 8, 2);
    const int exponent = static_cast<int>(signAndExponent & 0x7FFF) - 16383;
    // Normal double results only, one binade short of overflow (a rounding
    // carry may still raise the exponent by one).
    if (exponent < -1022 || exponent > 1022) return false;
    const std::uint64_t dropped = significand & 0x7FF;
    const std::uint64_t kept = significand >> 11;
    if (dropped + kGuard > kMidpoint && dropped < kMidpoint + kGuard) return false;
    // D would be a power of two: kept is 1.000…0 and rounds down, or 1.111…1
    // and rounds up.
    if (kept == (std::uint64_t{1} << 52) && dropped < kMidpoint) return false;
    if (kept == (std::uint64_t{1} << 53) - 1 && dropped > kMidpoint) return false;
    *out = static_cast<double>(product);
    return true;
  }
}

// x^K exactly as std::pow(x, K) rounds it.
template <int K>
inline double power(double x) {
  double result;
  if (certainPower<K>(x, &result)) return result;
  return std::pow(x, K);
}

}  // namespace wendfit
