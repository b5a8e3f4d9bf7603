#pragma once
// Point queries against a fitted function, as wendfit-eval answers them: a
// text stream with one point "x y z" per line in, one line
// "value gx gy gz mean gaussian [k1 k2 d1x d1y d1z d2x d2y d2z]" per point
// out.
//
// Derivatives are by default the exact ones of the value
// (exact_derivatives.h); on request those the fit itself uses
// (ImplicitFunction::gradient and ::curvatures).
//
// Output format: value and gradient are float results printed with "%.9g",
// the curvatures and directions double results printed with "%.17g"; both
// read back to the identical value. Fields are separated by one space.

#include <cstdio>
#include <istream>
#include <string>
#include <string_view>

#include "function/implicit_function.h"

namespace wendfit {

struct QueryResult {
  float value = 0.0f;
  float gradient[3] = {0.0f, 0.0f, 0.0f};
  double mean = 0.0;
  double gaussian = 0.0;
  // Principal curvatures (k1 >= k2) and their unit directions; only with
  // QueryOptions::principal.
  double k1 = 0.0;
  double k2 = 0.0;
  double direction1[3] = {0.0, 0.0, 0.0};
  double direction2[3] = {0.0, 0.0, 0.0};
};

struct QueryOptions {
  // The fit's own derivatives instead of the exact ones.
  bool designedDerivatives = false;
  // Also the principal curvatures and directions (exact derivatives only).
  bool principal = false;
};

// Everything the function offers at one point: value and gradient (offset
// and zero outside the box), mean and Gaussian curvature (0 and 0 where the
// gradient is zero; the designed ones are evaluated outside the box too).
// Throws Error for principal with designedDerivatives.
QueryResult evaluateQuery(const ImplicitFunction& function, float x, float y, float z,
                          const QueryOptions& options = {});

// Parses one query line: three finite decimal numbers (C syntax, optional
// sign and exponent) separated by spaces or tabs, each rounded to the
// nearest float. Returns false for a line that is empty or only white space
// (it holds no query). Throws Error "<file>:<line>: <problem>" for anything
// else.
bool parseQueryLine(std::string_view text, const std::string& file, long line, float point[3]);

// Appends the result line (with its newline) to `out`: six fields, or
// fourteen with options.principal.
void writeQueryResult(std::FILE* out, const QueryResult& result, const QueryOptions& options = {});

// Answers every query line of `in`, in order, on `out`; `name` names the
// stream in error messages. Lines before a malformed one are answered before
// the Error is thrown. Returns the number of points answered.
long answerQueries(const ImplicitFunction& function, std::istream& in, const std::string& name,
                   std::FILE* out, const QueryOptions& options = {});

}  // namespace wendfit
