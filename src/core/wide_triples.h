#pragma once
// Loads for the AVX-512 kernels that read points stored x y z x y z ...:
// eight consecutive points' coordinates as three vectors of eight floats.
// Only x86-64 with GCC or Clang; callers choose the kernel at run time
// (cpu_features.h).

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

namespace wendfit {

// out[0], out[1], out[2]: the x, y and z of the `count` (1 to 8) points at
// `at` in lanes 0 ... count - 1, zero beyond; reads no float past the
// points'.
__attribute__((target("avx512f"))) inline void loadEightTriples(const float* at, int count, __m256 out[3]) {
  const int floats = 3 * count;
  const __m512 low = _mm512_maskz_loadu_ps(static_cast<__mmask16>(floats >= 16 ? 0xFFFF : (1u << floats) - 1), at);
  const __m512 high =
      _mm512_maskz_loadu_ps(static_cast<__mmask16>(floats > 16 ? (1u << (floats - 16)) - 1 : 0), at + 16);
  // Lanes 0..7 pick floats 0, 3, ..., 21 (plus the axis) of the 24 in low
  // (0..15) and high (16..23).
  for (int axis = 0; axis < 3; ++axis) {
    const __m512i pick = _mm512_add_epi32(_mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 21, 18, 15, 12, 9, 6, 3, 0),
                                          _mm512_set1_epi32(axis));
    out[axis] = _mm512_castps512_ps256(_mm512_permutex2var_ps(low, pick, high));
  }
}

}  // namespace wendfit

#endif
