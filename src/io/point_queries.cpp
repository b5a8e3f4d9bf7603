#include "io/point_queries.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "core/error.h"
#include "function/exact_derivatives.h"

namespace wendfit {
namespace {

// Carriage returns count as white space so that files written with CRLF line
// ends read like any other.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

size_t skipBlanks(std::string_view text, size_t pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  return pos;
}

size_t tokenEnd(std::string_view text, size_t pos) {
  while (pos < text.size() && !isBlank(text[pos])) ++pos;
  return pos;
}

// One coordinate: the whole token must be a finite decimal number.
float parseCoordinate(std::string_view token, const std::string& file, long line) {
  const char* first = token.data();
  const char* last = token.data() + token.size();
  // from_chars takes no leading '+'; a sign before a number is still fine.
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-') ++first;
  float parsed = 0.0f;
  const std::from_chars_result result = std::from_chars(first, last, parsed);
  const std::string quoted = "'" + std::string(token) + "'";
  if (result.ec == std::errc::result_out_of_range) {
    // Too small for a float is harmless: such a coordinate is 0 (or the
    // nearest subnormal) for every purpose here. Too large is not.
    double wide = 0.0;
    const std::from_chars_result retry = std::from_chars(first, last, wide);
    if (retry.ec != std::errc() || retry.ptr != last || std::fabs(wide) >= 1.0) {
      throw Error(fileMessage(file, line, "number " + quoted + " is out of float range"));
    }
    return static_cast<float>(wide);
  }
  if (result.ec != std::errc() || result.ptr != last) {
    throw Error(fileMessage(file, line, "malformed number " + quoted +
                                            " (expected a decimal number such as -1.5e2)"));
  }
  if (!std::isfinite(parsed)) {
    throw Error(fileMessage(file, line, "number " + quoted + " is not finite"));
  }
  return parsed;
}

}  // namespace

QueryResult evaluateQuery(const ImplicitFunction& function, float x, float y, float z,
                          const QueryOptions& options) {
  QueryResult result;
  if (options.designedDerivatives) {
    if (options.principal) {
      throw Error("principal curvatures need the exact derivatives (expected no designed derivatives)");
    }
    result.value = function.valueAndGradient(result.gradient, x, y, z);
    function.curvatures(&result.mean, &result.gaussian, x, y, z);
    return result;
  }
  const ExactDerivatives d = exactDerivatives(function, x, y, z);
  result.value = d.value;
  for (int i = 0; i < 3; ++i) result.gradient[i] = static_cast<float>(d.gradient[i]);
  const LevelSetCurvature c = levelSetCurvature(d.gradient, d.hessian);
  result.mean = c.mean;
  result.gaussian = c.gaussian;
  if (options.principal) {
    result.k1 = c.k1;
    result.k2 = c.k2;
    for (int i = 0; i < 3; ++i) {
      result.direction1[i] = c.direction1[i];
      result.direction2[i] = c.direction2[i];
    }
  }
  return result;
}

bool parseQueryLine(std::string_view text, const std::string& file, long line, float point[3]) {
  size_t pos = skipBlanks(text, 0);
  if (pos == text.size()) return false;
  int found = 0;
  while (pos < text.size()) {
    const size_t end = tokenEnd(text, pos);
    if (found < 3) point[found] = parseCoordinate(text.substr(pos, end - pos), file, line);
    ++found;
    pos = skipBlanks(text, end);
  }
  if (found != 3) {
    throw Error(fileMessage(file, line, "found " + std::to_string(found) +
                                            " fields (expected 3 numbers: x y z)"));
  }
  return true;
}

void writeQueryResult(std::FILE* out, const QueryResult& result, const QueryOptions& options) {
  std::fprintf(out, "%.9g %.9g %.9g %.9g %.17g %.17g", static_cast<double>(result.value),
               static_cast<double>(result.gradient[0]), static_cast<double>(result.gradient[1]),
               static_cast<double>(result.gradient[2]), result.mean, result.gaussian);
  if (options.principal) {
    const double* d1 = result.direction1;
    const double* d2 = result.direction2;
    std::fprintf(out, " %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g", result.k1, result.k2, d1[0],
                 d1[1], d1[2], d2[0], d2[1], d2[2]);
  }
  std::fputc('\n', out);
}

long answerQueries(const ImplicitFunction& function, std::istream& in, const std::string& name,
                   std::FILE* out, const QueryOptions& options) {
  std::string text;
  long lineNumber = 0;
  long answered = 0;
  while (std::getline(in, text)) {
    ++lineNumber;
    float point[3];
    if (!parseQueryLine(text, name, lineNumber, point)) continue;
    writeQueryResult(out, evaluateQuery(function, point[0], point[1], point[2], options), options);
    ++answered;
  }
  if (in.bad()) throw Error(fileMessage(name, lineNumber + 1, "read error"));
  return answered;
}

}  // namespace wendfit
