#pragma once
// Point queries against a fitted function, as wendfit-eval answers them: a
// text stream with one point "x y z" per line in, one line
// "value gx gy gz mean gaussian" per point out.
//
// Output format: value and gradient are the function's float results printed
// with "%.9g", the curvatures its double results printed with "%.17g"; both
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
};

// Everything the function offers at one point: value and gradient (offset
// and zero outside the box), mean and Gaussian curvature (0 and 0 where the
// summed gradient is zero).
QueryResult evaluateQuery(const ImplicitFunction& function, float x, float y, float z);

// Parses one query line: three finite decimal numbers (C syntax, optional
// sign and exponent) separated by spaces or tabs, each rounded to the
// nearest float. Returns false for a line that is empty or only white space
// (it holds no query). Throws Error "<file>:<line>: <problem>" for anything
// else.
bool parseQueryLine(std::string_view text, const std::string& file, long line, float point[3]);

// Appends the result line (with its newline) to `out`.
void writeQueryResult(std::FILE* out, const QueryResult& result);

// Answers every query line of `in`, in order, on `out`; `name` names the
// stream in error messages. Lines before a malformed one are answered before
// the Error is thrown. Returns the number of points answered.
long answerQueries(const ImplicitFunction& function, std::istream& in, const std::string& name,
                   std::FILE* out);

}  // namespace wendfit
