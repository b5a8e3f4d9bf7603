// wendfit::Function and its evaluation at many points: a thin layer over
// ImplicitFunction and the result file reader and writer.

#include <wendfit/function.h>

#include <cmath>
#include <string>

#include "api/thread_count.h"
#include "function/implicit_function.h"
#include "io/point_queries.h"
#include "core/error.h"
#include "io/function_file_reader.h"
#include "io/function_file_writer.h"

namespace wendfit {

Function::Function() = default;
Function::~Function() = default;
Function::Function(Function&&) noexcept = default;
Function& Function::operator=(Function&&) noexcept = default;
Function::Function(std::unique_ptr<ImplicitFunction> function) : function_(std::move(function)) {}

const ImplicitFunction& Function::implementation() const {
  if (!function_) throw Error("the function is empty (expected one from a fit or readFunction)");
  return *function_;
}

float Function::value(float x, float y, float z) const { return implementation().value(x, y, z); }

long Function::basisFunctionCount() const { return implementation().functionCount(); }

std::array<float, 3> Function::boxMin() const {
  const ImplicitFunction& f = implementation();
  return {f.boxMin()[0], f.boxMin()[1], f.boxMin()[2]};
}

std::array<float, 3> Function::boxMax() const {
  const ImplicitFunction& f = implementation();
  return {f.boxMax()[0], f.boxMax()[1], f.boxMax()[2]};
}

float Function::offset() const { return implementation().offset(); }

Evaluation evaluate(const Function& function, const std::vector<float>& xyz,
                    const EvaluationOptions& options) {
  const ImplicitFunction& f = function.implementation();
  if (xyz.size() % 3 != 0) {
    throw Error("evaluate: " + std::to_string(xyz.size()) +
                " coordinates (expected 3 per point, a multiple of 3)");
  }
  if (!(options.inputScale > 0.0) || !std::isfinite(options.inputScale)) {
    throw Error("evaluate: input scale " + std::to_string(options.inputScale) +
                " (expected a positive finite number)");
  }
  const long n = static_cast<long>(xyz.size() / 3);
  for (long i = 0; i < 3 * n; ++i) {
    if (!std::isfinite(xyz[i])) {
      throw Error("evaluate: point " + std::to_string(i / 3) + " has a coordinate that is not finite "
                  "(expected finite numbers)");
    }
  }
  ScopedThreadCount threads(options.threads);
  Evaluation result;
  result.values.resize(n);
  if (options.gradients) result.gradients.resize(3 * n);
  if (options.curvatures) {
    result.mean.resize(n);
    result.gaussian.resize(n);
  }
  const float scale = static_cast<float>(options.inputScale);
  // Points are independent and each writes only its own entries, so the
  // results do not depend on the thread count or the schedule.
#pragma omp parallel for schedule(dynamic, 256)
  for (long i = 0; i < n; ++i) {
    float p[3] = {xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]};
    if (scale != 1.0f) {
      for (float& c : p) c *= scale;
    }
    if (options.curvatures) {
      const QueryResult q = evaluateQuery(f, p[0], p[1], p[2]);
      result.values[i] = q.value;
      if (options.gradients) {
        for (int k = 0; k < 3; ++k) result.gradients[3 * i + k] = q.gradient[k];
      }
      result.mean[i] = q.mean;
      result.gaussian[i] = q.gaussian;
    } else if (options.gradients) {
      result.values[i] = f.valueAndGradient(&result.gradients[3 * i], p[0], p[1], p[2]);
    } else {
      result.values[i] = f.value(p[0], p[1], p[2]);
    }
  }
  return result;
}

Function readFunction(const std::string& path) { return Function(readFunctionFile(path)); }

void writeFunction(const Function& function, const std::string& path) {
  writeFunctionFile(function.implementation(), path, nullptr);
}

}  // namespace wendfit
