#include "fitting/level_terms.h"

#include <algorithm>

#include "core/cpu_features.h"
#include "function/basis_function.h"
#include "spatial/kd_tree.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "core/wide_triples.h"
#define WENDFIT_WIDE_LEVEL_TERMS 1
#endif

namespace wendfit {

LevelTerms::LevelTerms(const PointSet& centres, const std::vector<BasisFunction>& records, float radius,
                       bool plain)
    : positions_(centres.positions.data()), normals_(centres.normals.data()), radius_(radius) {
#ifdef WENDFIT_WIDE_LEVEL_TERMS
  const int n = centres.count;
  if (!plain || !wideLeafTestsEnabled() || static_cast<int>(records.size()) < n ||
      centres.normals.size() < centres.positions.size()) {
    return;
  }
  c6_.resize(n);
  c7_.resize(n);
  c8_.resize(n);
  c9_.resize(n);
  bool usable = true;
#pragma omp parallel for schedule(static) reduction(&& : usable)
  for (int i = 0; i < n; ++i) {
    const BasisFunction& record = records[i];
    const float* c = centres.position(i);
    usable = usable && hasNoSecondOrder(record) && record.centre[0] == c[0] && record.centre[1] == c[1] &&
             record.centre[2] == c[2];
    c6_[i] = record.coeff[6];
    c7_[i] = record.coeff[7];
    c8_[i] = record.coeff[8];
    c9_[i] = record.coeff[9];
  }
  if (!usable) return;
  wide_ = true;
#else
  (void)records;
  (void)plain;
#endif
}

#ifdef WENDFIT_WIDE_LEVEL_TERMS

namespace {

// GCC 12 takes the undefined upper halves inside its own AVX-512 widening
// intrinsics for uninitialized values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512f"))) inline __m512d loadWidened(const float* at, int count) {
  return _mm512_cvtps_pd(
      _mm512_castps512_ps256(_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1), at)));
}

}  // namespace

__attribute__((target("avx512f"))) double LevelTerms::sum(const float p[3],
                                                          const std::vector<std::pair<int, int>>& runs,
                                                          int self, float nearRadius, bool outside,
                                                          bool& disagrees) const {
  const double radius = radius_;
  const __m512d limit = _mm512_set1_pd(radius * radius);
  const bool sides = nearRadius >= 0.0f;
  const __m512d nearLimit = _mm512_set1_pd(static_cast<double>(nearRadius) * static_cast<double>(nearRadius));
  const __m512d q[3] = {_mm512_set1_pd(p[0]), _mm512_set1_pd(p[1]), _mm512_set1_pd(p[2])};
  const __m256 qf[3] = {_mm256_set1_ps(p[0]), _mm256_set1_ps(p[1]), _mm256_set1_ps(p[2])};
  const __m512d supportRadius = _mm512_set1_pd(radius);
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
  alignas(64) double terms[8];
  double total = 0.0;
  for (const auto& [first, last] : runs) {
    for (int i = first; i < last; i += 8) {
      const int count = std::min(8, last - i);
      __m256 c[3];
      loadEightTriples(positions_ + 3 * static_cast<size_t>(i), count, c);
      // The kd-tree's test: exact double offsets, squares added z, y, x.
      __m512d exact[3];
      for (int a = 0; a < 3; ++a) exact[a] = _mm512_sub_pd(q[a], _mm512_cvtps_pd(c[a]));
      const __m512d distSq = _mm512_add_pd(
          _mm512_add_pd(_mm512_mul_pd(exact[2], exact[2]), _mm512_mul_pd(exact[1], exact[1])),
          _mm512_mul_pd(exact[0], exact[0]));
      const __mmask8 inside =
          _mm512_mask_cmp_pd_mask(static_cast<__mmask8>((1u << count) - 1), distSq, limit, _CMP_LT_OQ);
      if (inside == 0) continue;
      if (sides && !disagrees) {
        __mmask8 near = _mm512_mask_cmp_pd_mask(inside, distSq, nearLimit, _CMP_LT_OQ);
        if (self >= i && self < i + 8) near &= static_cast<__mmask8>(~(1u << (self - i)));
        if (near) {
          __m256 nrm[3];
          loadEightTriples(normals_ + 3 * static_cast<size_t>(i), count, nrm);
          const __m512d side = _mm512_add_pd(
              _mm512_add_pd(_mm512_mul_pd(_mm512_cvtps_pd(nrm[0]), exact[0]),
                            _mm512_mul_pd(_mm512_cvtps_pd(nrm[1]), exact[1])),
              _mm512_mul_pd(_mm512_cvtps_pd(nrm[2]), exact[2]));
          const __mmask8 wrong = outside ? _mm512_mask_cmp_pd_mask(near, side, zero, _CMP_NGT_UQ)
                                         : _mm512_mask_cmp_pd_mask(near, side, zero, _CMP_NLT_UQ);
          if (wrong) disagrees = true;
        }
      }
      // The term: float offsets widened, squares added z, y, x; the plain
      // weight of d / R (zero beyond R) times the first-order quadric.
      __m512d d[3];
      for (int a = 0; a < 3; ++a) d[a] = _mm512_cvtps_pd(_mm256_sub_ps(qf[a], c[a]));
      const __m512d distance = _mm512_sqrt_pd(
          _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(d[2], d[2]), _mm512_mul_pd(d[1], d[1])),
                        _mm512_mul_pd(d[0], d[0])));
      const __m512d t = _mm512_div_pd(distance, supportRadius);
      const __m512d u = _mm512_sub_pd(one, t);
      const __m512d u2 = _mm512_mul_pd(u, u);
      const __m512d fifth = _mm512_mul_pd(_mm512_mul_pd(u2, u2), u);
      const __m512d polynomial = _mm512_add_pd(
          _mm512_mul_pd(_mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(35.0), t), _mm512_set1_pd(18.0)), t),
          _mm512_set1_pd(3.0));
      const __mmask8 beyond = _mm512_cmp_pd_mask(supportRadius, distance, _CMP_LT_OQ);
      const __m512d w = _mm512_mask_blend_pd(beyond, _mm512_mul_pd(_mm512_mul_pd(fifth, u), polynomial), zero);
      const __m512d quadric = _mm512_add_pd(
          _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(loadWidened(&c6_[i], count), d[0]),
                                      _mm512_mul_pd(loadWidened(&c7_[i], count), d[1])),
                        _mm512_mul_pd(loadWidened(&c8_[i], count), d[2])),
          loadWidened(&c9_[i], count));
      _mm512_store_pd(terms, _mm512_mul_pd(w, quadric));
      for (unsigned lanes = inside; lanes != 0; lanes &= lanes - 1) total += terms[__builtin_ctz(lanes)];
    }
  }
  return total;
}

#pragma GCC diagnostic pop

#else

double LevelTerms::sum(const float*, const std::vector<std::pair<int, int>>&, int, float, bool, bool&) const {
  return 0.0;
}

#endif

}  // namespace wendfit
