#pragma once
// How finely single precision resolves coordinates of a given size. Points,
// centres and grid corners are floats: far from the origin relative to
// their spread, neighbouring positions collapse onto the same float and the
// geometry between them is lost.

#include <cmath>
#include <limits>

namespace wendfit {

// The gap between |x| (as a float) and the next larger float.
inline double floatStepAt(double x) {
  const float magnitude = std::fabs(static_cast<float>(x));
  return static_cast<double>(std::nextafter(magnitude, std::numeric_limits<float>::infinity())) - magnitude;
}

// Detail finer than this many float steps is not kept: a sample spacing or
// a grid cell must span at least this many steps where it lies.
constexpr double kLeastFloatStepsPerDetail = 4.0;

}  // namespace wendfit
