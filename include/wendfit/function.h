#pragma once
// wendfit::Function: a fitted implicit function, held in memory.
//
// The function is a constant offset plus a sum of compactly supported radial
// basis functions inside its box, and the offset alone outside it (points on
// the box faces are inside). It is about 0 on the fitted surface, positive
// inside the object and negative outside. Its coordinates are those of the
// fit: wendfit scales its input about the origin so that the largest side of
// the points' box is 20 (FitResult::scale is that factor).
//
// A Function is movable, not copyable. Evaluation is read-only: any number
// of threads may evaluate one Function at once.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace wendfit {

class ImplicitFunction;

class Function {
 public:
  // An empty Function holds nothing; only a fit or readFunction gives one
  // that can be evaluated (the others throw Error on an empty Function).
  Function();
  ~Function();
  Function(Function&&) noexcept;
  Function& operator=(Function&&) noexcept;
  Function(const Function&) = delete;
  Function& operator=(const Function&) = delete;

  bool empty() const { return !function_; }
  // Value at one point, in the function's coordinates.
  float value(float x, float y, float z) const;
  // Number of basis functions.
  long basisFunctionCount() const;
  // The box corners, and the value outside the box.
  std::array<float, 3> boxMin() const;
  std::array<float, 3> boxMax() const;
  float offset() const;

  // The implementation, for the library's own code; throws Error when empty.
  const ImplicitFunction& implementation() const;
  // Takes over `function` (library use).
  explicit Function(std::unique_ptr<ImplicitFunction> function);

 private:
  std::unique_ptr<ImplicitFunction> function_;
};

struct EvaluationOptions {
  // Also compute the gradient, and the mean and Gaussian curvature of the
  // level set through each point (the costlier part).
  bool gradients = true;
  bool curvatures = false;
  // Worker threads; 0 keeps OpenMP's default (OMP_NUM_THREADS, else all
  // cores). The results do not depend on it.
  int threads = 0;
  // Each query point is multiplied by this factor before evaluation, so that
  // FitResult::scale lets callers query in their input's coordinates. The
  // results are the function's own (a gradient is not rescaled).
  double inputScale = 1.0;
};

// Results at n points, in their order. A field that was not asked for is
// empty.
struct Evaluation {
  std::vector<float> values;     // n
  std::vector<float> gradients;  // 3 n: gx gy gz per point; zero outside the box
  std::vector<double> mean;      // n; 0 where the gradient sums to zero
  std::vector<double> gaussian;  // n; likewise
};

// Evaluates `function` at the points xyz[0..3n) (x y z per point). Gradient
// and curvatures use the derivatives of the radial weight (1-t)^4 (4t+1),
// as the fitting does. Throws Error for an empty function, a size that is
// not a multiple of 3, a bad thread count or scale, or a non-finite
// coordinate (naming the point).
Evaluation evaluate(const Function& function, const std::vector<float>& xyz,
                    const EvaluationOptions& options = {});

// Reads a result file written by wendfit (or writeFunction). Throws Error
// "<file>:<line>: <problem>" when the file cannot be read or is malformed.
Function readFunction(const std::string& path);

// Writes the result file: box, count, offset, one line per basis function,
// all numbers with six decimals. The file appears under `path` only when
// complete. Throws Error naming `path` when it cannot be written.
void writeFunction(const Function& function, const std::string& path);

}  // namespace wendfit
