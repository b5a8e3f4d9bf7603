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

}  // namespace wendfit
