#pragma once
// Value and gradient terms of a run of first-order records (c0..c5 all zero),
// four records at a time in AVX2 lanes, added to the caller's sums in record
// order. The results are bit for bit those of the one-record-at-a-time terms:
// every lane operation (float offsets, double products, sums, square root,
// division) is a single IEEE operation in the same order, nothing is fused,
// and the power (1 - t)^k is only taken from the lanes where it is certain to
// equal std::pow (see batch_terms.cpp); the rest call std::pow.
//
// Only x86-64 processors with AVX2 run these; batchTermsAvailable() says
// whether this one does. Callers keep the record-by-record path otherwise.

#include <vector>

#include "function/evaluation_layout.h"

namespace wendfit {

// True when the processor runs the batch terms below.
bool batchTermsAvailable();

// subtotal plus the value term of every record of layout[first, end) in
// reach of (x, y, z), added in record order. The layout's record arrays must
// hold at least three entries past `end` (EvaluationLayout pads them).
double addValueTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                     float z, double subtotal);

// The same with ImplicitFunction::plainValue's terms (powers by
// multiplication, as in addExactGradientTerms).
double addPlainValueTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                          float z, double subtotal);

// The same for valueAndGradient: adds each record's gradient term to
// gradient[0..2] and returns subtotal plus its value terms.
double addGradientTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                        float z, double subtotal, double gradient[3]);

// The same with ImplicitFunction::plainValueAndGradient's terms: those of
// addGradientTerms with (1 - t)^3 and (1 - t)^6 as plain products.
double addPlainGradientTerms(const EvaluationLayout& layout, int first, int end, float x, float y,
                             float z, double subtotal, double gradient[3]);

// The same with ImplicitFunction::valueAndExactGradient's terms, whose
// powers are plain products (no bit-for-bit promise beyond the scalar terms'
// own arithmetic, which these lanes repeat).
double addExactGradientTerms(const EvaluationLayout& layout, int first, int end, float x,
                             float y, float z, double subtotal, double gradient[3]);

// One first-order record as the group evaluation reads it: what the terms
// need, in one cache line, and a float bound for a cheap first test of
// many points at once.
struct alignas(64) GroupRecord {
  float centre[3];
  // fl(R^2) raised by 2^-20 of itself and a little: a squared distance
  // formed in float from the float offsets is at most this whenever the
  // double test of the terms keeps the record (see batch_terms.cpp).
  float nearLimit;
  double radiusSq;  // R^2, exact
  double inverse;   // 1 / R, as the plain terms take it
  double c6, c7, c8, c9;
};

// GroupRecord of a record with centre c, radius R and coefficients c6..c9.
GroupRecord groupRecordOf(const float centre[3], float radius, const float firstOrder[4]);

// Points the group terms below take at once.
constexpr int kGroupLanes = 16;

// For each of `count` points (at most kGroupLanes; coordinates in x, y, z), the sum of
// ImplicitFunction::plainValue's terms of every record of records[0, n) in
// reach of it, added in record order from +0, into sums. Each point's sum is
// that of addPlainValueTerms over the same records in the same order, bit
// for bit: the lanes of a point repeat the terms' operations exactly, and
// points never share a sum.
void plainGroupTerms(const GroupRecord* records, int n, const float* x, const float* y,
                     const float* z, int count, double sums[kGroupLanes]);

// The same with ImplicitFunction::valueAndExactGradient's terms: the value
// sums into sums and the gradient sums into gradients[axis][point], each
// that of addExactGradientTerms, bit for bit.
void exactGradientGroupTerms(const GroupRecord* records, int n, const float* x, const float* y,
                             const float* z, int count, double sums[kGroupLanes],
                             double gradients[3][kGroupLanes]);

// A first-order record in single precision, for the quick terms below.
struct alignas(16) QuickRecord {
  float centre[3];
  // Just below R^2, so that a float squared distance under it is one the
  // double test keeps too, and gatherGroupRun never leaves its record out.
  float limitSq;
  float inverse;  // 1 / R
  float c6, c7, c8, c9;
};

// The quick records of `records`, in the same order.
void quickRecordsOf(const std::vector<GroupRecord>& records, std::vector<QuickRecord>& out);

// The value terms (and with `gradients` the exact gradient's) of every
// record of records[0, n) in reach of each of `count` points (at most
// kGroupLanes; with `designed`, valueAndGradient's designed gradient
// instead of the exact one), all in single precision: about twice the speed of the group
// terms above, and within float rounding of their sums (on a fitted sphere
// the zero set moves by under 1e-6 of the box). A point's sums depend on the point alone: its
// records in record order, whatever the other points. For a surface that
// need not keep the designed values' last bits; only with AVX2 (sixteen points
// at once with AVX-512, the same bits).
void quickGroupTerms(const QuickRecord* records, int n, const float* x, const float* y,
                     const float* z, int count, float sums[kGroupLanes],
                     float gradients[3][kGroupLanes], bool designed = false);

// Whether the group terms may take sixteen points at once where the
// processor has AVX-512 (the default), or eight at a time in AVX2 lanes
// (the same bits); returns whether they now do. For tests.
bool allowWideGroupTerms(bool allowed);

// Appends to `out`, in record order, the records of layout[first, end) (a
// first-order run) that may reach a point of the box [low, high]: a record
// is left out only where no point of the box can pass the terms' reach test.
void gatherGroupRun(const EvaluationLayout& layout, int first, int end, const float low[3],
                    const float high[3], std::vector<GroupRecord>& out);

}  // namespace wendfit
