#include "core/fixed_decimal.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace wendfit {

std::size_t writeFixedSix(char* out, float value) {
  if (!std::isfinite(value)) return 0;
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 31) != 0;
  const int exponentField = static_cast<int>((bits >> 23) & 0xFF);
  std::uint64_t mantissa = bits & 0x7FFFFF;
  int exponent = -149;  // subnormals
  if (exponentField != 0) {
    mantissa |= 0x800000;
    exponent = exponentField - 150;
  }
  // |value| = mantissa * 2^exponent, so the text's digits are the integer
  // mantissa * 10^6 * 2^exponent rounded to nearest, ties to even; below
  // 2^44 before the shift, so 128 bits hold every shift that matters.
  using Wide = unsigned __int128;
  const Wide scaled = static_cast<Wide>(mantissa) * 1000000u;
  std::uint64_t millionths;
  if (exponent >= 0) {
    if (exponent > 19) return 0;  // 2^43 and more: the integer overflows 64 bits
    millionths = static_cast<std::uint64_t>(scaled << exponent);
  } else if (-exponent > 100) {
    millionths = 0;  // below half a millionth, far from any tie
  } else {
    const int shift = -exponent;
    const Wide one = 1;
    const Wide rest = scaled & ((one << shift) - 1);
    const Wide half = one << (shift - 1);
    millionths = static_cast<std::uint64_t>(scaled >> shift);
    if (rest > half || (rest == half && (millionths & 1) != 0)) ++millionths;
  }
  char* p = out;
  if (negative) *p++ = '-';
  std::uint64_t whole = millionths / 1000000u;
  std::uint32_t fraction = static_cast<std::uint32_t>(millionths % 1000000u);
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  while (count > 0) *p++ = digits[--count];
  *p++ = '.';
  for (int i = 5; i >= 0; --i) {
    p[i] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  p += 6;
  return static_cast<std::size_t>(p - out);
}

}  // namespace wendfit
