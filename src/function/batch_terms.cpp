#include "function/batch_terms.h"

#include <algorithm>
#include <atomic>
#include <array>
#include <cmath>
#include <cstring>

#include "core/cpu_features.h"
#include "function/basis_function.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define WENDFIT_BATCH_TERMS 1
#endif

// The power (1 - t)^k, k = 3 and 6, is formed exactly enough to know how
// std::pow rounds it. With u = 1 - t, Dekker's product (Veltkamp's split, no
// fused multiply-add) gives u^2 = p + e exactly; u^3 = P3 + e3 and
// u^6 = P6 + e6 follow from two more exact products and the rounded cross
// terms, each within 2^-100 of the true power relative to it, that is within
// 2^-47 of a double ULP. Rounding P + e gives the double D and the exact rest
// P - D + e. A lane is certain when that rest is at most 0.44 ULP, D is no
// power of two (where the spacing below D halves) and u lies in [2^-100, 1]
// (so that no product underflows). Then D is the correctly rounded power, at
// most 0.45 ULP from it, and every other double is at least 0.55 ULP away:
// std::pow, documented within 0.54 ULP, returns D. The other lanes (about one
// in ten) call std::pow itself: power<k>'s own test would reject nearly all
// of them again.

namespace wendfit {

GroupRecord groupRecordOf(const float centre[3], float radius, const float firstOrder[4]) {
  GroupRecord out{};
  for (int a = 0; a < 3; ++a) out.centre[a] = centre[a];
  out.nearLimit = radius * radius * (1.0f + 0x1p-20f) + 0x1p-126f;
  out.radiusSq = static_cast<double>(radius) * radius;
  out.inverse = 1.0 / radius;
  out.c6 = firstOrder[0];
  out.c7 = firstOrder[1];
  out.c8 = firstOrder[2];
  out.c9 = firstOrder[3];
  return out;
}

#ifdef WENDFIT_BATCH_TERMS

namespace {

constexpr int kLanes = 4;

struct Split {
  __m256d high;
  __m256d low;
};

__attribute__((target("avx2"))) inline Split split(__m256d a) {
  const __m256d scaled = _mm256_mul_pd(_mm256_set1_pd(134217729.0), a);  // 2^27 + 1
  const __m256d high = _mm256_sub_pd(scaled, _mm256_sub_pd(scaled, a));
  return {high, _mm256_sub_pd(a, high)};
}

// a * b - fl(a * b), exactly (Dekker), from the splits of a and b.
__attribute__((target("avx2"))) inline __m256d productError(Split a, Split b, __m256d product) {
  __m256d error = _mm256_sub_pd(_mm256_mul_pd(a.high, b.high), product);
  error = _mm256_add_pd(error, _mm256_mul_pd(a.high, b.low));
  error = _mm256_add_pd(error, _mm256_mul_pd(a.low, b.high));
  return _mm256_add_pd(error, _mm256_mul_pd(a.low, b.low));
}

// Rounds high + low to `rounded` and returns the lanes where that rounding is
// certain to be std::pow's result (all bits set) as described above.
__attribute__((target("avx2"))) inline __m256d certainRounding(__m256d high, __m256d low,
                                                               __m256d* rounded) {
  const __m256d sum = _mm256_add_pd(high, low);
  const __m256d rest = _mm256_add_pd(_mm256_sub_pd(high, sum), low);
  const __m256i bits = _mm256_castpd_si256(sum);
  const __m256d binade =
      _mm256_castsi256_pd(_mm256_and_si256(bits, _mm256_set1_epi64x(0x7FF0000000000000LL)));
  const __m256d limit = _mm256_mul_pd(binade, _mm256_set1_pd(0.44 * 0x1p-52));
  const __m256d restSize = _mm256_andnot_pd(_mm256_set1_pd(-0.0), rest);
  const __m256d close = _mm256_cmp_pd(restSize, limit, _CMP_LE_OQ);
  const __m256i powerOfTwo = _mm256_cmpeq_epi64(
      _mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFFLL)), _mm256_setzero_si256());
  *rounded = sum;
  return _mm256_andnot_pd(_mm256_castsi256_pd(powerOfTwo), close);
}

struct Powers {
  __m256d cube;
  __m256d sixth;
  __m256d cubeCertain;
  __m256d sixthCertain;
};

__attribute__((target("avx2"))) inline Powers powersOf(__m256d u) {
  const __m256d inRange = _mm256_and_pd(_mm256_cmp_pd(u, _mm256_set1_pd(0x1p-100), _CMP_GE_OQ),
                                        _mm256_cmp_pd(u, _mm256_set1_pd(1.0), _CMP_LE_OQ));
  const Split us = split(u);
  const __m256d p2 = _mm256_mul_pd(u, u);
  const __m256d e2 = productError(us, us, p2);
  const Split p2s = split(p2);
  const __m256d p3 = _mm256_mul_pd(p2, u);
  const __m256d e3 = _mm256_add_pd(productError(p2s, us, p3), _mm256_mul_pd(e2, u));
  const Split p3s = split(p3);
  const __m256d p6 = _mm256_mul_pd(p3, p3);
  const __m256d cross = _mm256_mul_pd(_mm256_add_pd(p3, p3), e3);
  const __m256d e6 = _mm256_add_pd(productError(p3s, p3s, p6), cross);
  Powers out;
  out.cubeCertain = _mm256_and_pd(inRange, certainRounding(p3, e3, &out.cube));
  out.sixthCertain = _mm256_and_pd(inRange, certainRounding(p6, e6, &out.sixth));
  return out;
}

// One group of four records: offsets, reach and the terms' common factors.
struct Lanes {
  __m256d dx, dy, dz;
  __m256d radius;
  __m256d t, u;
  __m256d inverse;  // 1 / R, in the plain terms (kByInverse) only
  __m256d c6, c7, c8, c9;
  int inReach;  // bit j: record j exists and passes the squared-distance test
  __m256d keep;  // all bits set in the lanes of inReach, clear elsewhere
};

// Sums start at +0 and can never become -0 (x + y is -0 only when both are),
// so adding a +0 leaves them unchanged: the lanes out of reach are zeroed
// and every lane is added, without a branch per record.
__attribute__((target("avx2"))) inline __m256d kept(const Lanes& l, __m256d v) {
  return _mm256_and_pd(l.keep, v);
}

// Loads records [i, i + 4) of `layout`; lanes at or past `end` are out of reach.
// kByInverse: t = r (1 / R), as the plain terms form it; otherwise r / R.
template <bool kByInverse = false>
__attribute__((target("avx2"))) inline Lanes loadLanes(const EvaluationLayout& layout, int i,
                                                       int end, __m128 x, __m128 y, __m128 z) {
  Lanes l;
  // Offsets are rounded to float per axis, as in every term.
  l.dx = _mm256_cvtps_pd(_mm_sub_ps(x, _mm_loadu_ps(layout.centreX.data() + i)));
  l.dy = _mm256_cvtps_pd(_mm_sub_ps(y, _mm_loadu_ps(layout.centreY.data() + i)));
  l.dz = _mm256_cvtps_pd(_mm_sub_ps(z, _mm_loadu_ps(layout.centreZ.data() + i)));
  l.radius = _mm256_cvtps_pd(_mm_loadu_ps(layout.radius.data() + i));
  const __m256d distSq = _mm256_add_pd(
      _mm256_add_pd(_mm256_mul_pd(l.dx, l.dx), _mm256_mul_pd(l.dy, l.dy)), _mm256_mul_pd(l.dz, l.dz));
  // Not (distSq > R^2): a NaN offset stays in reach, as in the scalar test.
  const __m256d reach =
      _mm256_cmp_pd(distSq, _mm256_mul_pd(l.radius, l.radius), _CMP_NGT_UQ);
  const int count = end - i < kLanes ? end - i : kLanes;
  l.inReach = _mm256_movemask_pd(reach) & ((1 << count) - 1);
  if (l.inReach == 0) return l;
  const __m256i laneBits = _mm256_set_epi64x(8, 4, 2, 1);
  l.keep = _mm256_castsi256_pd(_mm256_cmpeq_epi64(
      _mm256_and_si256(_mm256_set1_epi64x(l.inReach), laneBits), laneBits));
  // r <= R follows from the test (see visit() in evaluation.cpp).
  const __m256d r = _mm256_sqrt_pd(distSq);
  if constexpr (kByInverse) {
    l.inverse = _mm256_div_pd(_mm256_set1_pd(1.0), l.radius);
    l.t = _mm256_mul_pd(r, l.inverse);
  } else {
    l.t = _mm256_div_pd(r, l.radius);
  }
  l.u = _mm256_sub_pd(_mm256_set1_pd(1.0), l.t);
  __m128 c0 = _mm_loadu_ps(layout.firstOrder[i].data());
  __m128 c1 = _mm_loadu_ps(layout.firstOrder[i + 1].data());
  __m128 c2 = _mm_loadu_ps(layout.firstOrder[i + 2].data());
  __m128 c3 = _mm_loadu_ps(layout.firstOrder[i + 3].data());
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  l.c6 = _mm256_cvtps_pd(c0);
  l.c7 = _mm256_cvtps_pd(c1);
  l.c8 = _mm256_cvtps_pd(c2);
  l.c9 = _mm256_cvtps_pd(c3);
  return l;
}

// The second factor of the weight, ((35 t + 18) t + 3), and the first-order
// quadric c6 dx + c7 dy + c8 dz + c9, each in the scalar terms' operand order.
__attribute__((target("avx2"))) inline __m256d polynomialOf(__m256d t) {
  const __m256d inner = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(35.0), t), _mm256_set1_pd(18.0));
  return _mm256_add_pd(_mm256_mul_pd(inner, t), _mm256_set1_pd(3.0));
}

__attribute__((target("avx2"))) inline __m256d quadricOf(const Lanes& l) {
  __m256d q = _mm256_add_pd(_mm256_mul_pd(l.c6, l.dx), _mm256_mul_pd(l.c7, l.dy));
  q = _mm256_add_pd(q, _mm256_mul_pd(l.c8, l.dz));
  return _mm256_add_pd(q, l.c9);
}

__attribute__((target("avx2"))) double valueTermsAvx2(const EvaluationLayout& layout, int first,
                                                      int end, float x, float y, float z,
                                                      double subtotal) {
  const __m128 px = _mm_set1_ps(x), py = _mm_set1_ps(y), pz = _mm_set1_ps(z);
  for (int i = first; i < end; i += kLanes) {
    const Lanes l = loadLanes(layout, i, end, px, py, pz);
    if (l.inReach == 0) continue;
    const Powers powers = powersOf(l.u);
    const __m256d polynomial = polynomialOf(l.t);
    const __m256d q = quadricOf(l);
    alignas(32) double term[kLanes], u[kLanes], poly[kLanes], quad[kLanes];
    _mm256_store_pd(term, kept(l, _mm256_mul_pd(_mm256_mul_pd(powers.sixth, polynomial), q)));
    int uncertain = l.inReach & ~_mm256_movemask_pd(powers.sixthCertain);
    if (uncertain != 0) {
      _mm256_store_pd(u, l.u);
      _mm256_store_pd(poly, polynomial);
      _mm256_store_pd(quad, q);
      for (; uncertain != 0; uncertain &= uncertain - 1) {
        const int j = __builtin_ctz(uncertain);
        term[j] = std::pow(u[j], 6) * poly[j] * quad[j];
      }
    }
    subtotal += term[0];
    subtotal += term[1];
    subtotal += term[2];
    subtotal += term[3];
  }
  return subtotal;
}

// The weight (1 - t)^6 (35 t^2 + 18 t + 3) with the power by multiplication,
// and (1 - t)^5 on the way, in the scalar plain terms' operation order.
struct PlainWeight {
  __m256d u5;
  __m256d w;
};

__attribute__((target("avx2"))) inline PlainWeight plainWeightOf(const Lanes& l) {
  const __m256d u2 = _mm256_mul_pd(l.u, l.u);
  const __m256d u5 = _mm256_mul_pd(_mm256_mul_pd(u2, u2), l.u);
  return {u5, _mm256_mul_pd(_mm256_mul_pd(u5, l.u), polynomialOf(l.t))};
}

// The exact gradient's factor of d, -56 (1 - t)^5 (5 t + 1) / R^2, with
// 1 / R^2 as (1 / R)^2.
__attribute__((target("avx2"))) inline __m256d exactGradientFactor(const Lanes& l, __m256d u5) {
  const __m256d fivePlusOne =
      _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(5.0), l.t), _mm256_set1_pd(1.0));
  return _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-56.0), u5), fivePlusOne),
                       _mm256_mul_pd(l.inverse, l.inverse));
}

__attribute__((target("avx2"))) double plainValueTermsAvx2(const EvaluationLayout& layout,
                                                           int first, int end, float x, float y,
                                                           float z, double subtotal) {
  const __m128 px = _mm_set1_ps(x), py = _mm_set1_ps(y), pz = _mm_set1_ps(z);
  for (int i = first; i < end; i += kLanes) {
    const Lanes l = loadLanes<true>(layout, i, end, px, py, pz);
    if (l.inReach == 0) continue;
    const __m256d w = plainWeightOf(l).w;
    alignas(32) double term[kLanes];
    _mm256_store_pd(term, kept(l, _mm256_mul_pd(w, quadricOf(l))));
    subtotal += term[0];
    subtotal += term[1];
    subtotal += term[2];
    subtotal += term[3];
  }
  return subtotal;
}

// The powers of plainValueAndGradient: plain products, every lane certain.
__attribute__((target("avx2"))) inline Powers plainPowersOf(__m256d u) {
  Powers out;
  out.cube = _mm256_mul_pd(_mm256_mul_pd(u, u), u);
  out.sixth = _mm256_mul_pd(out.cube, out.cube);
  out.cubeCertain = out.sixthCertain = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  return out;
}

// kExactPowers: std::pow's powers to the bit (valueAndGradient); otherwise
// plain products (plainValueAndGradient).
template <bool kExactPowers>
__attribute__((target("avx2"))) double gradientTermsAvx2(const EvaluationLayout& layout,
                                                         int first, int end, float x, float y,
                                                         float z, double subtotal,
                                                         double gradient[3]) {
  const __m128 px = _mm_set1_ps(x), py = _mm_set1_ps(y), pz = _mm_set1_ps(z);
  for (int i = first; i < end; i += kLanes) {
    const Lanes l = loadLanes(layout, i, end, px, py, pz);
    if (l.inReach == 0) continue;
    const Powers powers = kExactPowers ? powersOf(l.u) : plainPowersOf(l.u);
    const __m256d polynomial = polynomialOf(l.t);
    const __m256d q = quadricOf(l);
    const __m256d radiusSq = _mm256_mul_pd(l.radius, l.radius);
    const __m256d w = _mm256_mul_pd(powers.sixth, polynomial);
    // The weight's gradient factor -20 (1 - t)^3 / R^2.
    const __m256d k =
        _mm256_div_pd(_mm256_mul_pd(_mm256_set1_pd(-20.0), powers.cube), radiusSq);
    alignas(32) double value[kLanes], g[3][kLanes];
    _mm256_store_pd(value, kept(l, _mm256_mul_pd(w, q)));
    const __m256d d[3] = {l.dx, l.dy, l.dz}, c[3] = {l.c6, l.c7, l.c8};
    for (int a = 0; a < 3; ++a) {
      _mm256_store_pd(g[a], kept(l, _mm256_add_pd(_mm256_mul_pd(q, _mm256_mul_pd(k, d[a])),
                                                  _mm256_mul_pd(w, c[a]))));
    }
    const int cubeCertain = _mm256_movemask_pd(powers.cubeCertain);
    const int sixthCertain = _mm256_movemask_pd(powers.sixthCertain);
    int uncertain = l.inReach & ~(cubeCertain & sixthCertain);
    if (uncertain != 0) {
      alignas(32) double u[kLanes], poly[kLanes], quad[kLanes], rSq[kLanes];
      alignas(32) double cube[kLanes], sixth[kLanes];
      alignas(32) double dj[3][kLanes], cj[3][kLanes];
      _mm256_store_pd(u, l.u);
      _mm256_store_pd(cube, powers.cube);
      _mm256_store_pd(sixth, powers.sixth);
      _mm256_store_pd(poly, polynomial);
      _mm256_store_pd(quad, q);
      _mm256_store_pd(rSq, radiusSq);
      for (int a = 0; a < 3; ++a) {
        _mm256_store_pd(dj[a], d[a]);
        _mm256_store_pd(cj[a], c[a]);
      }
      for (; uncertain != 0; uncertain &= uncertain - 1) {
        const int j = __builtin_ctz(uncertain);
        const double wj = (sixthCertain >> j & 1 ? sixth[j] : std::pow(u[j], 6)) * poly[j];
        const double kj = -20.0 * (cubeCertain >> j & 1 ? cube[j] : std::pow(u[j], 3)) / rSq[j];
        for (int a = 0; a < 3; ++a) g[a][j] = quad[j] * (kj * dj[a][j]) + wj * cj[a][j];
        value[j] = wj * quad[j];
      }
    }
    for (int j = 0; j < kLanes; ++j) {
      gradient[0] += g[0][j];
      gradient[1] += g[1][j];
      gradient[2] += g[2][j];
      subtotal += value[j];
    }
  }
  return subtotal;
}

__attribute__((target("avx2"))) double exactGradientTermsAvx2(const EvaluationLayout& layout,
                                                              int first, int end, float x,
                                                              float y, float z, double subtotal,
                                                              double gradient[3]) {
  const __m128 px = _mm_set1_ps(x), py = _mm_set1_ps(y), pz = _mm_set1_ps(z);
  for (int i = first; i < end; i += kLanes) {
    const Lanes l = loadLanes<true>(layout, i, end, px, py, pz);
    if (l.inReach == 0) continue;
    const PlainWeight plain = plainWeightOf(l);
    const __m256d u5 = plain.u5, w = plain.w;
    const __m256d k = exactGradientFactor(l, u5);
    const __m256d q = quadricOf(l);
    const __m256d qk = _mm256_mul_pd(q, k);
    alignas(32) double value[kLanes], gx[kLanes], gy[kLanes], gz[kLanes];
    _mm256_store_pd(value, kept(l, _mm256_mul_pd(w, q)));
    _mm256_store_pd(gx, kept(l, _mm256_add_pd(_mm256_mul_pd(qk, l.dx), _mm256_mul_pd(w, l.c6))));
    _mm256_store_pd(gy, kept(l, _mm256_add_pd(_mm256_mul_pd(qk, l.dy), _mm256_mul_pd(w, l.c7))));
    _mm256_store_pd(gz, kept(l, _mm256_add_pd(_mm256_mul_pd(qk, l.dz), _mm256_mul_pd(w, l.c8))));
    for (int j = 0; j < kLanes; ++j) {
      gradient[0] += gx[j];
      gradient[1] += gy[j];
      gradient[2] += gz[j];
      subtotal += value[j];
    }
  }
  return subtotal;
}


// The group terms (groupTermsAvx2): eight points in float lanes against one
// record at a time. The float test is conservative: with the same float offsets, each float
// square and sum is within 2^-24 of itself, so the float squared distance is
// at most (1 + 2^-22) times the double one, and fl(R^2) (1 + 2^-20) exceeds
// (1 + 2^-22) R^2; the added 2^-126 covers squares that underflow. Records
// that pass it go through the double test and terms of plainValueTermsAvx2,
// one point per lane, four points at a time.
//
// The float offsets of four points (one per lane) from one record, as the
// lanes of loadLanes hold them for four records of one point.
__attribute__((target("avx2"))) inline Lanes groupLanes(const GroupRecord& record, __m128 dxf,
                                                        __m128 dyf, __m128 dzf) {
  Lanes l;
  l.dx = _mm256_cvtps_pd(dxf);
  l.dy = _mm256_cvtps_pd(dyf);
  l.dz = _mm256_cvtps_pd(dzf);
  const __m256d distSq = _mm256_add_pd(
      _mm256_add_pd(_mm256_mul_pd(l.dx, l.dx), _mm256_mul_pd(l.dy, l.dy)), _mm256_mul_pd(l.dz, l.dz));
  l.keep = _mm256_cmp_pd(distSq, _mm256_broadcast_sd(&record.radiusSq), _CMP_NGT_UQ);
  l.inverse = _mm256_broadcast_sd(&record.inverse);
  l.t = _mm256_mul_pd(_mm256_sqrt_pd(distSq), l.inverse);
  l.u = _mm256_sub_pd(_mm256_set1_pd(1.0), l.t);
  l.c6 = _mm256_broadcast_sd(&record.c6);
  l.c7 = _mm256_broadcast_sd(&record.c7);
  l.c8 = _mm256_broadcast_sd(&record.c8);
  l.c9 = _mm256_broadcast_sd(&record.c9);
  return l;
}

// Sums of four points: the value, and with kGradient the exact gradient.
// Set to +0 by zeroSums.
struct GroupSums {
  __m256d value;
  __m256d gradient[3];
};

__attribute__((target("avx2"))) inline void zeroSums(GroupSums& sums) {
  sums.value = _mm256_setzero_pd();
  for (__m256d& g : sums.gradient) g = _mm256_setzero_pd();
}

// Adds one record's terms to four points' sums, in the operations of
// plainValueTermsAvx2 (value) or exactGradientTermsAvx2 (kGradient).
template <bool kGradient>
__attribute__((target("avx2"))) inline void addGroupTerms(const GroupRecord& record, __m128 dxf,
                                                          __m128 dyf, __m128 dzf,
                                                          GroupSums& sums) {
  const Lanes l = groupLanes(record, dxf, dyf, dzf);
  const PlainWeight plain = plainWeightOf(l);
  const __m256d q = quadricOf(l);
  sums.value = _mm256_add_pd(sums.value, kept(l, _mm256_mul_pd(plain.w, q)));
  if constexpr (kGradient) {
    const __m256d k = exactGradientFactor(l, plain.u5);
    const __m256d qk = _mm256_mul_pd(q, k);
    const __m256d d[3] = {l.dx, l.dy, l.dz}, c[3] = {l.c6, l.c7, l.c8};
    for (int a = 0; a < 3; ++a) {
      sums.gradient[a] = _mm256_add_pd(
          sums.gradient[a],
          kept(l, _mm256_add_pd(_mm256_mul_pd(qk, d[a]), _mm256_mul_pd(plain.w, c[a]))));
    }
  }
}

// The kernels' points, `width` lanes: lanes past `count` repeat the last
// point, and their sums are dropped.
void padPoints(const float* x, const float* y, const float* z, int count, int width, float* px,
               float* py, float* pz) {
  for (int j = 0; j < width; ++j) {
    const int from = j < count ? j : count - 1;
    px[j] = x[from];
    py[j] = y[from];
    pz[j] = z[from];
  }
}

struct WideSums;

// A kernel's lane sums, the value's and the gradient's three, and their
// delivery to the caller's first `count` points.
struct LaneSums {
  alignas(64) double lanes[4][16];

  // From the eight-lane kernel's two halves.
  __attribute__((target("avx2"))) LaneSums(const GroupSums& low, const GroupSums& high, bool gradient) {
    for (int k = 0; k < (gradient ? 4 : 1); ++k) {
      _mm256_store_pd(lanes[k], k == 0 ? low.value : low.gradient[k - 1]);
      _mm256_store_pd(lanes[k] + 4, k == 0 ? high.value : high.gradient[k - 1]);
    }
  }
  // From the sixteen-lane kernel's two halves (defined with it).
  __attribute__((target("avx512f"))) LaneSums(const WideSums& low, const WideSums& high, bool gradient);

  void deliver(int count, double* sums, double* const gradients[3], bool gradient) const {
    std::copy(lanes[0], lanes[0] + count, sums);
    if (!gradient) return;
    for (int a = 0; a < 3; ++a) std::copy(lanes[a + 1], lanes[a + 1] + count, gradients[a]);
  }
};

// Up to eight points in float lanes, padded as padPoints pads them.
struct EightPoints {
  __m256 x, y, z;
  __attribute__((target("avx2"))) EightPoints(const float* px, const float* py, const float* pz, int count) {
    alignas(32) float lanes[3][8];
    padPoints(px, py, pz, count, 8, lanes[0], lanes[1], lanes[2]);
    x = _mm256_load_ps(lanes[0]);
    y = _mm256_load_ps(lanes[1]);
    z = _mm256_load_ps(lanes[2]);
  }
};

// The float offsets of eight points from a record's centre, and their
// float squared distances.
struct FloatOffsets {
  __m256 dx, dy, dz, distSq;
  __attribute__((target("avx2"))) FloatOffsets(__m256 vx, __m256 vy, __m256 vz, const float centre[3])
      : dx(_mm256_sub_ps(vx, _mm256_broadcast_ss(&centre[0]))),
        dy(_mm256_sub_ps(vy, _mm256_broadcast_ss(&centre[1]))),
        dz(_mm256_sub_ps(vz, _mm256_broadcast_ss(&centre[2]))),
        distSq(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)),
                             _mm256_mul_ps(dz, dz))) {}
};

template <bool kGradient>
__attribute__((target("avx2"))) void groupTermsAvx2(const GroupRecord* records, int n,
                                                    const float* x, const float* y,
                                                    const float* z, int count, double* sums,
                                                    double* const gradients[3]) {
  const EightPoints points(x, y, z, count);
  const __m256 vx = points.x, vy = points.y, vz = points.z;
  GroupSums low, high;
  zeroSums(low);
  zeroSums(high);
  for (int k = 0; k < n; ++k) {
    const GroupRecord& record = records[k];
    const FloatOffsets o(vx, vy, vz, record.centre);
    const __m256 dx = o.dx, dy = o.dy, dz = o.dz, distSq = o.distSq;
    // Not (distSq > limit): NaN offsets go on to the double test.
    const int near = _mm256_movemask_ps(
        _mm256_cmp_ps(distSq, _mm256_broadcast_ss(&record.nearLimit), _CMP_NGT_UQ));
    if (near == 0) continue;
    if (near & 0x0F) {
      addGroupTerms<kGradient>(record, _mm256_castps256_ps128(dx), _mm256_castps256_ps128(dy),
                               _mm256_castps256_ps128(dz), low);
    }
    if (near & 0xF0) {
      addGroupTerms<kGradient>(record, _mm256_extractf128_ps(dx, 1),
                               _mm256_extractf128_ps(dy, 1), _mm256_extractf128_ps(dz, 1), high);
    }
  }
  LaneSums(low, high, kGradient).deliver(count, sums, gradients, kGradient);
}

// GCC 12 takes the undefined upper halves inside its own AVX-512 widening
// intrinsics for uninitialized values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The same terms sixteen points at a time on processors with AVX-512: the
// float test in one register, the double terms eight points per register.
// Every lane repeats the operations of addGroupTerms, so the sums are those
// of groupTermsAvx2 bit for bit; only fewer instructions form them.
struct WideLanes {
  __m512d dx, dy, dz;
  __m512d t, u, inverse;
  __m512d c6, c7, c8, c9;
  __mmask8 keep;
};

struct WideSums {
  __m512d value;
  __m512d gradient[3];
};

__attribute__((target("avx512f"))) inline void addWideTerms(const GroupRecord& record,
                                                             __m256 dxf, __m256 dyf, __m256 dzf,
                                                             bool gradient, WideSums& sums) {
  WideLanes l;
  l.dx = _mm512_cvtps_pd(dxf);
  l.dy = _mm512_cvtps_pd(dyf);
  l.dz = _mm512_cvtps_pd(dzf);
  const __m512d distSq = _mm512_add_pd(
      _mm512_add_pd(_mm512_mul_pd(l.dx, l.dx), _mm512_mul_pd(l.dy, l.dy)), _mm512_mul_pd(l.dz, l.dz));
  l.keep = _mm512_cmp_pd_mask(distSq, _mm512_set1_pd(record.radiusSq), _CMP_NGT_UQ);
  l.inverse = _mm512_set1_pd(record.inverse);
  l.t = _mm512_mul_pd(_mm512_sqrt_pd(distSq), l.inverse);
  l.u = _mm512_sub_pd(_mm512_set1_pd(1.0), l.t);
  // plainWeightOf, polynomialOf and quadricOf, in their operation order.
  const __m512d u2 = _mm512_mul_pd(l.u, l.u);
  const __m512d u5 = _mm512_mul_pd(_mm512_mul_pd(u2, u2), l.u);
  const __m512d inner = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(35.0), l.t), _mm512_set1_pd(18.0));
  const __m512d polynomial = _mm512_add_pd(_mm512_mul_pd(inner, l.t), _mm512_set1_pd(3.0));
  const __m512d w = _mm512_mul_pd(_mm512_mul_pd(u5, l.u), polynomial);
  const __m512d c6 = _mm512_set1_pd(record.c6), c7 = _mm512_set1_pd(record.c7),
                c8 = _mm512_set1_pd(record.c8);
  __m512d q = _mm512_add_pd(_mm512_mul_pd(c6, l.dx), _mm512_mul_pd(c7, l.dy));
  q = _mm512_add_pd(q, _mm512_mul_pd(c8, l.dz));
  q = _mm512_add_pd(q, _mm512_set1_pd(record.c9));
  // Lanes out of reach add +0, as kept() makes them.
  sums.value = _mm512_add_pd(sums.value, _mm512_maskz_mov_pd(l.keep, _mm512_mul_pd(w, q)));
  if (!gradient) return;
  // exactGradientFactor.
  const __m512d fivePlusOne = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(5.0), l.t), _mm512_set1_pd(1.0));
  const __m512d k = _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(-56.0), u5), fivePlusOne),
                                  _mm512_mul_pd(l.inverse, l.inverse));
  const __m512d qk = _mm512_mul_pd(q, k);
  const __m512d d[3] = {l.dx, l.dy, l.dz}, c[3] = {c6, c7, c8};
  for (int a = 0; a < 3; ++a) {
    sums.gradient[a] = _mm512_add_pd(
        sums.gradient[a],
        _mm512_maskz_mov_pd(l.keep, _mm512_add_pd(_mm512_mul_pd(qk, d[a]), _mm512_mul_pd(w, c[a]))));
  }
}

__attribute__((target("avx512f"))) LaneSums::LaneSums(const WideSums& low, const WideSums& high,
                                                     bool gradient) {
  for (int k = 0; k < (gradient ? 4 : 1); ++k) {
    _mm512_store_pd(lanes[k], k == 0 ? low.value : low.gradient[k - 1]);
    _mm512_store_pd(lanes[k] + 8, k == 0 ? high.value : high.gradient[k - 1]);
  }
}

// Lanes 8 to 15.
__attribute__((target("avx512f"))) inline __m256 upper(__m512 v) {
  return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
}

// Up to sixteen points in float lanes, padded as padPoints pads them.
struct SixteenPoints {
  __m512 x, y, z;
  __attribute__((target("avx512f"))) SixteenPoints(const float* px, const float* py, const float* pz,
                                                   int count) {
    alignas(64) float lanes[3][16];
    padPoints(px, py, pz, count, 16, lanes[0], lanes[1], lanes[2]);
    x = _mm512_load_ps(lanes[0]);
    y = _mm512_load_ps(lanes[1]);
    z = _mm512_load_ps(lanes[2]);
  }
};

// The float offsets of sixteen points from a record's centre, and their
// float squared distances (as FloatOffsets forms them).
struct WideOffsets {
  __m512 dx, dy, dz, distSq;
  __attribute__((target("avx512f"))) WideOffsets(const SixteenPoints& p, const float centre[3])
      : dx(_mm512_sub_ps(p.x, _mm512_set1_ps(centre[0]))),
        dy(_mm512_sub_ps(p.y, _mm512_set1_ps(centre[1]))),
        dz(_mm512_sub_ps(p.z, _mm512_set1_ps(centre[2]))),
        distSq(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy)),
                             _mm512_mul_ps(dz, dz))) {}
};

template <bool kGradient>
__attribute__((target("avx512f"))) void groupTermsAvx512(const GroupRecord* records, int n,
                                                         const float* x, const float* y,
                                                         const float* z, int count,
                                                         double* sums,
                                                         double* const gradients[3]) {
  const SixteenPoints points(x, y, z, count);
  WideSums low, high;
  for (WideSums* s : {&low, &high}) {
    s->value = _mm512_setzero_pd();
    for (__m512d& g : s->gradient) g = _mm512_setzero_pd();
  }
  for (int k = 0; k < n; ++k) {
    const GroupRecord& record = records[k];
    const WideOffsets o(points, record.centre);
    const __m512 dx = o.dx, dy = o.dy, dz = o.dz, distSq = o.distSq;
    // Not (distSq > limit): NaN offsets go on to the double test.
    const __mmask16 near = _mm512_cmp_ps_mask(distSq, _mm512_set1_ps(record.nearLimit), _CMP_NGT_UQ);
    if (near == 0) continue;
    if (near & 0x00FF) {
      addWideTerms(record, _mm512_castps512_ps256(dx), _mm512_castps512_ps256(dy),
                   _mm512_castps512_ps256(dz), kGradient, low);
    }
    if (near & 0xFF00) {
      addWideTerms(record, upper(dx), upper(dy), upper(dz), kGradient, high);
    }
  }
  LaneSums(low, high, kGradient).deliver(count, sums, gradients, kGradient);
}

#pragma GCC diagnostic pop

std::atomic<bool> wideTermsAllowed{true};

bool wideTermsAvailable() {
  return cpuHasAvx512f() && wideTermsAllowed.load(std::memory_order_relaxed);
}

// A kernel that sums records[0, n) at up to its lane count of points.
template <typename Record, typename Sum>
using LaneKernel = void (*)(const Record* records, int n, const float* x, const float* y, const float* z,
                            int count, Sum* sums, Sum* const gradients[3]);

// Up to kGroupLanes points through a pair of kernels: sixteen at once in
// `wide` with AVX-512, else eight at a time in `narrow` (gradients only
// `withGradient`).
template <typename Record, typename Sum>
void inLanes(LaneKernel<Record, Sum> wide, LaneKernel<Record, Sum> narrow, bool withGradient,
             const Record* records, int n, const float* x, const float* y, const float* z, int count, Sum* sums,
             Sum* const gradients[3]) {
  if (wideTermsAvailable()) {
    wide(records, n, x, y, z, count, sums, gradients);
    return;
  }
  for (int first = 0; first < count; first += 8) {
    Sum* const part[3] = {withGradient ? gradients[0] + first : nullptr,
                          withGradient ? gradients[1] + first : nullptr,
                          withGradient ? gradients[2] + first : nullptr};
    narrow(records, n, x + first, y + first, z + first, std::min(8, count - first), sums + first, part);
  }
}

template <bool kGradient>
void groupTerms(const GroupRecord* records, int n, const float* x, const float* y, const float* z,
                int count, double* sums, double* const gradients[3]) {
  inLanes<GroupRecord, double>(groupTermsAvx512<kGradient>, groupTermsAvx2<kGradient>, kGradient, records, n, x,
                               y, z, count, sums, gradients);
}

// Appends records as groupRecordOf forms them, with the terms of the radius
// kept from the record before: the records of a run mostly share their
// level's radius, and the division 1 / R is the costliest part of a record.
struct RadiusTerms {
  float radius = 0.0f;
  GroupRecord terms = groupRecordOf(std::array<float, 3>{}.data(), 0.0f, std::array<float, 4>{}.data());

  void append(const EvaluationLayout& layout, int k, std::vector<GroupRecord>& out) {
    const float r = layout.radius[k];
    // Bits, not values: 0 and -0 (or two NaNs) may not share their terms.
    if (std::memcmp(&r, &radius, sizeof r) != 0) {
      const float centre[3] = {0.0f, 0.0f, 0.0f};
      const float none[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      terms = groupRecordOf(centre, r, none);
      radius = r;
    }
    GroupRecord& record = out.emplace_back(terms);
    record.centre[0] = layout.centreX[k];
    record.centre[1] = layout.centreY[k];
    record.centre[2] = layout.centreZ[k];
    const std::array<float, 4>& c = layout.firstOrder[k];
    record.c6 = c[0];
    record.c7 = c[1];
    record.c8 = c[2];
    record.c9 = c[3];
  }
};

// How far c lies outside [lo, hi], lane by lane.
__attribute__((target("avx2"))) inline __m256 gapOf(__m256 lo, __m256 hi, __m256 c) {
  return _mm256_max_ps(_mm256_max_ps(_mm256_sub_ps(lo, c), _mm256_sub_ps(c, hi)),
                       _mm256_setzero_ps());
}

// The records of layout[first, end) that may reach the box [low, high],
// eight at a time in float: the gap from a centre to the box per axis is
// within 2^-24 of itself, its square and the sum within 2^-21.4 in all, so
// a float squared gap beyond fl(R^2) (1 + 2^-18) is beyond R^2 (1 + 2^-19),
// and the float offsets of any point of the box then fail the terms' test.
__attribute__((target("avx2"))) void gatherRunAvx2(const EvaluationLayout& layout, int first,
                                                  int end, const float low[3],
                                                  const float high[3],
                                                  std::vector<GroupRecord>& out) {
  const __m256 margin = _mm256_set1_ps(1.0f + 0x1p-18f), tiny = _mm256_set1_ps(0x1p-126f);
  const __m256 lowX = _mm256_set1_ps(low[0]), lowY = _mm256_set1_ps(low[1]),
               lowZ = _mm256_set1_ps(low[2]);
  const __m256 highX = _mm256_set1_ps(high[0]), highY = _mm256_set1_ps(high[1]),
               highZ = _mm256_set1_ps(high[2]);
  RadiusTerms radiusTerms;
  int i = first;
  for (; i + 8 <= end; i += 8) {
    const __m256 gx = gapOf(lowX, highX, _mm256_loadu_ps(layout.centreX.data() + i));
    const __m256 gy = gapOf(lowY, highY, _mm256_loadu_ps(layout.centreY.data() + i));
    const __m256 gz = gapOf(lowZ, highZ, _mm256_loadu_ps(layout.centreZ.data() + i));
    const __m256 gapSq = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(gx, gx), _mm256_mul_ps(gy, gy)),
                                       _mm256_mul_ps(gz, gz));
    const __m256 r = _mm256_loadu_ps(layout.radius.data() + i);
    const __m256 limit = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(r, r), margin), tiny);
    // Not (gapSq > limit): NaN stays.
    for (int near = _mm256_movemask_ps(_mm256_cmp_ps(gapSq, limit, _CMP_NGT_UQ)); near != 0;
         near &= near - 1) {
      const int k = i + __builtin_ctz(near);
      radiusTerms.append(layout, k, out);
    }
  }
  for (; i < end; ++i) {
    const float centre[3] = {layout.centreX[i], layout.centreY[i], layout.centreZ[i]};
    double gapSq = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double below = static_cast<double>(low[a]) - centre[a];
      const double above = static_cast<double>(centre[a]) - high[a];
      const double gap = std::max(0.0, std::max(below, above));
      gapSq += gap * gap;
    }
    const double radius = layout.radius[i];
    if (gapSq > radius * radius * (1.0 + 0x1p-20)) continue;
    radiusTerms.append(layout, i, out);
  }
}

}  // namespace

bool batchTermsAvailable() { return cpuHasAvx2(); }

double addValueTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                     float z, double subtotal) {
  return valueTermsAvx2(layout, first, end, x, y, z, subtotal);
}

double addPlainValueTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                          float z, double subtotal) {
  return plainValueTermsAvx2(layout, first, end, x, y, z, subtotal);
}

double addGradientTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                        float z, double subtotal, double gradient[3]) {
  return gradientTermsAvx2<true>(layout, first, end, x, y, z, subtotal, gradient);
}

double addPlainGradientTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                             float z, double subtotal, double gradient[3]) {
  return gradientTermsAvx2<false>(layout, first, end, x, y, z, subtotal, gradient);
}

double addExactGradientTerms(const EvaluationLayout& layout, int first, int end, float x,
                             float y, float z, double subtotal, double gradient[3]) {
  return exactGradientTermsAvx2(layout, first, end, x, y, z, subtotal, gradient);
}

bool allowWideGroupTerms(bool allowed) {
  wideTermsAllowed.store(allowed, std::memory_order_relaxed);
  return wideTermsAvailable();
}

void plainGroupTerms(const GroupRecord* records, int n, const float* x, const float* y,
                     const float* z, int count, double sums[kGroupLanes]) {
  double* const none[3] = {nullptr, nullptr, nullptr};
  groupTerms<false>(records, n, x, y, z, count, sums, none);
}

void exactGradientGroupTerms(const GroupRecord* records, int n, const float* x, const float* y,
                             const float* z, int count, double sums[kGroupLanes],
                             double gradients[3][kGroupLanes]) {
  double* const rows[3] = {gradients[0], gradients[1], gradients[2]};
  groupTerms<true>(records, n, x, y, z, count, sums, rows);
}

void gatherGroupRun(const EvaluationLayout& layout, int first, int end, const float low[3],
                    const float high[3], std::vector<GroupRecord>& out) {
  gatherRunAvx2(layout, first, end, low, high, out);
}

namespace {

// Hands the first `count` lanes of a quick kernel's value sums (row 0) and,
// with `gradient`, of its gradient sums (rows 1 to 3) to the caller.
template <int kWidth>
void deliverQuickLanes(const float (&lanes)[4][kWidth], int count, bool gradient, float* sums,
                       float* const gradients[3]) {
  std::copy(lanes[0], lanes[0] + count, sums);
  for (int a = 0; gradient && a < 3; ++a) std::copy(lanes[a + 1], lanes[a + 1] + count, gradients[a]);
}

// Eight points against one record at a time, every operation in float:
// t = |d| / R, w = (1 - t)^6 (35 t^2 + 18 t + 3) and its exact gradient
// -56 (1 - t)^5 (5 t + 1) / R^2 d (kDesigned: the designed -20 (1 - t)^3 /
// R^2 d of ImplicitFunction::valueAndGradient), times the first-order
// polynomial.
template <bool kGradient, bool kDesigned = false>
__attribute__((target("avx2"))) void quickTermsAvx2(const QuickRecord* records, int n,
                                                    const float* x, const float* y,
                                                    const float* z, int count, float* sums,
                                                    float* const gradients[3]) {
  const EightPoints points(x, y, z, count);
  const __m256 vx = points.x, vy = points.y, vz = points.z;
  const __m256 one = _mm256_set1_ps(1.0f);
  __m256 value = _mm256_setzero_ps();
  __m256 gradient[3] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  for (int k = 0; k < n; ++k) {
    const QuickRecord& record = records[k];
    const FloatOffsets o(vx, vy, vz, record.centre);
    const __m256 dx = o.dx, dy = o.dy, dz = o.dz, distSq = o.distSq;
    // Ordered: NaN offsets add nothing.
    const __m256 keep = _mm256_cmp_ps(distSq, _mm256_broadcast_ss(&record.limitSq), _CMP_LT_OQ);
    if (_mm256_movemask_ps(keep) == 0) continue;
    const __m256 inverse = _mm256_broadcast_ss(&record.inverse);
    const __m256 t = _mm256_mul_ps(_mm256_sqrt_ps(distSq), inverse);
    const __m256 u = _mm256_sub_ps(one, t);
    const __m256 u2 = _mm256_mul_ps(u, u);
    const __m256 u5 = _mm256_mul_ps(_mm256_mul_ps(u2, u2), u);
    const __m256 inner = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(35.0f), t), _mm256_set1_ps(18.0f));
    const __m256 polynomial = _mm256_add_ps(_mm256_mul_ps(inner, t), _mm256_set1_ps(3.0f));
    const __m256 w = _mm256_mul_ps(_mm256_mul_ps(u5, u), polynomial);
    const __m256 c[3] = {_mm256_broadcast_ss(&record.c6), _mm256_broadcast_ss(&record.c7),
                         _mm256_broadcast_ss(&record.c8)};
    __m256 q = _mm256_add_ps(_mm256_mul_ps(c[0], dx), _mm256_mul_ps(c[1], dy));
    q = _mm256_add_ps(q, _mm256_mul_ps(c[2], dz));
    q = _mm256_add_ps(q, _mm256_broadcast_ss(&record.c9));
    value = _mm256_add_ps(value, _mm256_and_ps(keep, _mm256_mul_ps(w, q)));
    if constexpr (kGradient) {
      const __m256 inverseSq = _mm256_mul_ps(inverse, inverse);
      __m256 factor;
      if constexpr (kDesigned) {
        factor = _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(-20.0f), _mm256_mul_ps(u2, u)), inverseSq);
      } else {
        const __m256 fivePlusOne = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(5.0f), t), one);
        factor = _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(-56.0f), u5), _mm256_mul_ps(fivePlusOne, inverseSq));
      }
      const __m256 qk = _mm256_mul_ps(q, factor);
      const __m256 d[3] = {dx, dy, dz};
      for (int a = 0; a < 3; ++a) {
        gradient[a] = _mm256_add_ps(
            gradient[a], _mm256_and_ps(keep, _mm256_add_ps(_mm256_mul_ps(qk, d[a]), _mm256_mul_ps(w, c[a]))));
      }
    }
  }
  alignas(32) float lanes[4][8];
  _mm256_store_ps(lanes[0], value);
  for (int a = 0; kGradient && a < 3; ++a) _mm256_store_ps(lanes[a + 1], gradient[a]);
  deliverQuickLanes(lanes, count, kGradient, sums, gradients);
}

// As for the group terms' sixteen-lane kernel.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The same terms sixteen points at a time on processors with AVX-512. Every
// lane repeats quickTermsAvx2's operations in its order, and a lane out of
// reach adds +0 to sums that can never be -0, so the sums are the same bits.
template <bool kGradient, bool kDesigned = false>
__attribute__((target("avx512f"))) void quickTermsAvx512(const QuickRecord* records, int n,
                                                         const float* x, const float* y,
                                                         const float* z, int count, float* sums,
                                                         float* const gradients[3]) {
  const SixteenPoints points(x, y, z, count);
  const __m512 one = _mm512_set1_ps(1.0f);
  __m512 value = _mm512_setzero_ps();
  __m512 gradient[3] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
  for (int k = 0; k < n; ++k) {
    const QuickRecord& record = records[k];
    const WideOffsets o(points, record.centre);
    const __m512 dx = o.dx, dy = o.dy, dz = o.dz, distSq = o.distSq;
    const __mmask16 keep = _mm512_cmp_ps_mask(distSq, _mm512_set1_ps(record.limitSq), _CMP_LT_OQ);
    if (keep == 0) continue;
    const __m512 inverse = _mm512_set1_ps(record.inverse);
    const __m512 t = _mm512_mul_ps(_mm512_sqrt_ps(distSq), inverse);
    const __m512 u = _mm512_sub_ps(one, t);
    const __m512 u2 = _mm512_mul_ps(u, u);
    const __m512 u5 = _mm512_mul_ps(_mm512_mul_ps(u2, u2), u);
    const __m512 inner = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(35.0f), t), _mm512_set1_ps(18.0f));
    const __m512 polynomial = _mm512_add_ps(_mm512_mul_ps(inner, t), _mm512_set1_ps(3.0f));
    const __m512 w = _mm512_mul_ps(_mm512_mul_ps(u5, u), polynomial);
    const __m512 c[3] = {_mm512_set1_ps(record.c6), _mm512_set1_ps(record.c7),
                         _mm512_set1_ps(record.c8)};
    __m512 q = _mm512_add_ps(_mm512_mul_ps(c[0], dx), _mm512_mul_ps(c[1], dy));
    q = _mm512_add_ps(q, _mm512_mul_ps(c[2], dz));
    q = _mm512_add_ps(q, _mm512_set1_ps(record.c9));
    value = _mm512_add_ps(value, _mm512_maskz_mov_ps(keep, _mm512_mul_ps(w, q)));
    if constexpr (kGradient) {
      const __m512 inverseSq = _mm512_mul_ps(inverse, inverse);
      __m512 factor;
      if constexpr (kDesigned) {
        factor = _mm512_mul_ps(_mm512_mul_ps(_mm512_set1_ps(-20.0f), _mm512_mul_ps(u2, u)), inverseSq);
      } else {
        const __m512 fivePlusOne = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(5.0f), t), one);
        factor = _mm512_mul_ps(_mm512_mul_ps(_mm512_set1_ps(-56.0f), u5),
                               _mm512_mul_ps(fivePlusOne, inverseSq));
      }
      const __m512 qk = _mm512_mul_ps(q, factor);
      const __m512 d[3] = {dx, dy, dz};
      for (int a = 0; a < 3; ++a) {
        gradient[a] = _mm512_add_ps(
            gradient[a],
            _mm512_maskz_mov_ps(keep, _mm512_add_ps(_mm512_mul_ps(qk, d[a]), _mm512_mul_ps(w, c[a]))));
      }
    }
  }
  alignas(64) float lanes[4][16];
  _mm512_store_ps(lanes[0], value);
  for (int a = 0; kGradient && a < 3; ++a) _mm512_store_ps(lanes[a + 1], gradient[a]);
  deliverQuickLanes(lanes, count, kGradient, sums, gradients);
}

#pragma GCC diagnostic pop

}  // namespace

void quickRecordsOf(const std::vector<GroupRecord>& records, std::vector<QuickRecord>& out) {
  out.resize(records.size());
  for (size_t k = 0; k < records.size(); ++k) {
    const GroupRecord& in = records[k];
    QuickRecord& q = out[k];
    for (int a = 0; a < 3; ++a) q.centre[a] = in.centre[a];
    q.limitSq = static_cast<float>(in.radiusSq * (1.0 - 0x1p-19));
    q.inverse = static_cast<float>(in.inverse);
    q.c6 = static_cast<float>(in.c6);
    q.c7 = static_cast<float>(in.c7);
    q.c8 = static_cast<float>(in.c8);
    q.c9 = static_cast<float>(in.c9);
  }
}

template <bool kGradient, bool kDesigned>
void quickTerms(const QuickRecord* records, int n, const float* x, const float* y, const float* z,
                int count, float* sums, float* const gradients[3]) {
  inLanes<QuickRecord, float>(quickTermsAvx512<kGradient, kDesigned>, quickTermsAvx2<kGradient, kDesigned>,
                              kGradient, records, n, x, y, z, count, sums, gradients);
}

void quickGroupTerms(const QuickRecord* records, int n, const float* x, const float* y,
                     const float* z, int count, float sums[kGroupLanes],
                     float gradients[3][kGroupLanes], bool designed) {
  if (!gradients) {
    float* const none[3] = {nullptr, nullptr, nullptr};
    quickTerms<false, false>(records, n, x, y, z, count, sums, none);
    return;
  }
  float* const rows[3] = {gradients[0], gradients[1], gradients[2]};
  if (designed) {
    quickTerms<true, true>(records, n, x, y, z, count, sums, rows);
  } else {
    quickTerms<true, false>(records, n, x, y, z, count, sums, rows);
  }
}

#else

bool batchTermsAvailable() { return false; }

bool allowWideGroupTerms(bool) { return false; }

void plainGroupTerms(const GroupRecord*, int, const float*, const float*, const float*, int,
                     double sums[kGroupLanes]) {
  for (int j = 0; j < kGroupLanes; ++j) sums[j] = 0.0;
}

void exactGradientGroupTerms(const GroupRecord*, int, const float*, const float*, const float*,
                             int, double sums[kGroupLanes], double gradients[3][kGroupLanes]) {
  for (int j = 0; j < kGroupLanes; ++j) sums[j] = gradients[0][j] = gradients[1][j] = gradients[2][j] = 0.0;
}

void gatherGroupRun(const EvaluationLayout&, int, int, const float*, const float*,
                    std::vector<GroupRecord>&) {}

void quickRecordsOf(const std::vector<GroupRecord>&, std::vector<QuickRecord>& out) { out.clear(); }

void quickGroupTerms(const QuickRecord*, int, const float*, const float*, const float*, int count,
                     float sums[kGroupLanes], float gradients[3][kGroupLanes], bool) {
  for (int j = 0; j < count; ++j) {
    sums[j] = 0.0f;
    if (gradients) gradients[0][j] = gradients[1][j] = gradients[2][j] = 0.0f;
  }
}

double addValueTerms(const EvaluationLayout&, int, int, float, float, float, double subtotal) {
  return subtotal;
}

double addPlainValueTerms(const EvaluationLayout&, int, int, float, float, float,
                          double subtotal) {
  return subtotal;
}

double addGradientTerms(const EvaluationLayout&, int, int, float, float, float, double subtotal,
                        double*) {
  return subtotal;
}

double addExactGradientTerms(const EvaluationLayout&, int, int, float, float, float,
                             double subtotal, double*) {
  return subtotal;
}

double addPlainGradientTerms(const EvaluationLayout&, int, int, float, float, float,
                             double subtotal, double*) {
  return subtotal;
}

#endif

}  // namespace wendfit
