#pragma once
// Decimal text of floats in "%f" notation (six decimals), the notation of the
// result file, without going through printf: formatting dominated the time
// of writing a result file with hundreds of thousands of records.

#include <cstddef>

namespace wendfit {

// Longest text writeFixedSix writes: a sign, 20 integer digits, the point
// and six decimals.
constexpr std::size_t kFixedSixMax = 28;

// Writes what printf("%f", double(value)) writes (in the default rounding
// mode: the exact binary value rounded to six decimals, ties to even; a sign
// for every negative value, also when it rounds to zero) into `out`, which
// must hold kFixedSixMax characters, and returns the number written (no
// terminating zero). Returns 0 for NaN, infinities and magnitudes of 2^43
// or more, whose text it leaves to printf.
std::size_t writeFixedSix(char* out, float value);

}  // namespace wendfit
