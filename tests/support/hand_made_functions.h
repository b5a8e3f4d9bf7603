#pragma once
// Hand-made records and implicit functions whose zero sets are known, for
// the function and mesh tests: records with only a constant term sum to a
// positive bump, and a negative offset cuts it at a chosen height.

#include <cmath>
#include <memory>
#include <vector>

#include "function/basis_function.h"
#include "function/implicit_function.h"

namespace wendfit::test {

inline BasisFunction constantRecord(float x, float y, float z, float radius, float constant, int level) {
  BasisFunction f{};
  f.centre[0] = x;
  f.centre[1] = y;
  f.centre[2] = z;
  f.coeff[9] = constant;
  f.radius = radius;
  f.level = level;
  return f;
}

inline std::unique_ptr<ImplicitFunction> emptyFunction(float low, float high, float offset) {
  const float boxMin[3] = {low, low, low};
  const float boxMax[3] = {high, high, high};
  auto function = std::make_unique<ImplicitFunction>(boxMin, boxMax, nullptr);
  function->setOffset(offset);
  return function;
}

// Adds, as level `level`, records with all coefficients 0 (they change no
// value) where rays from `inside` in 14 directions first cross the zero set:
// stand-ins for the data, which a fit's finest centres are.
inline void markZeroSet(ImplicitFunction& function, const float inside[3], float reach, float markerRadius,
                        int level) {
  const float directions[14][3] = {{1, 0, 0},  {-1, 0, 0}, {0, 1, 0},   {0, -1, 0},  {0, 0, 1},
                                   {0, 0, -1}, {1, 1, 1},  {1, 1, -1},  {1, -1, 1},  {1, -1, -1},
                                   {-1, 1, 1}, {-1, 1, -1}, {-1, -1, 1}, {-1, -1, -1}};
  std::vector<BasisFunction> markers;
  float insideValue = function.value(inside[0], inside[1], inside[2]);
  for (const auto& d : directions) {
    double norm = std::sqrt(double{d[0]} * d[0] + double{d[1]} * d[1] + double{d[2]} * d[2]);
    auto at = [&](double s, float p[3]) {
      for (int a = 0; a < 3; ++a) p[a] = static_cast<float>(inside[a] + s * d[a] / norm);
      return function.value(p[0], p[1], p[2]);
    };
    float p[3];
    double lo = 0.0, hi = reach;
    if ((at(hi, p) < 0) == (insideValue < 0)) continue;
    for (int step = 0; step < 60; ++step) {
      double mid = 0.5 * (lo + hi);
      ((at(mid, p) < 0) == (insideValue < 0) ? lo : hi) = mid;
    }
    at(lo, p);
    markers.push_back(constantRecord(p[0], p[1], p[2], markerRadius, 0.0f, level));
  }
  function.addLevel(markers);
}

// w(t) of the basis functions, for placing a zero set at a chosen radius.
inline double radialWeight(double t) { return std::pow(1.0 - t, 6) * ((35.0 * t + 18.0) * t + 3.0); }

// One record at the origin with support `support`: positive inside the
// sphere of radius `radius`, negative outside it (and on the box); markers
// on the sphere.
inline std::unique_ptr<ImplicitFunction> sphereFunction(float radius, float support, float halfBox) {
  auto function = emptyFunction(-halfBox, halfBox, static_cast<float>(-radialWeight(radius / support)));
  function->addLevel({constantRecord(0, 0, 0, support, 1.0f, 1)});
  const float origin[3] = {0, 0, 0};
  markZeroSet(*function, origin, halfBox, radius, 2);
  return function;
}

// `count` records on a circle of radius ringRadius in the z = 0 plane; the
// level set at `height` is a tube around the circle (a torus), with markers
// on it.
inline std::unique_ptr<ImplicitFunction> ringFunction(int count, float ringRadius, float support, float height,
                                                      float halfBox) {
  auto function = emptyFunction(-halfBox, halfBox, -height);
  std::vector<BasisFunction> records;
  for (int i = 0; i < count; ++i) {
    double angle = 2.0 * M_PI * i / count;
    records.push_back(constantRecord(static_cast<float>(ringRadius * std::cos(angle)),
                                     static_cast<float>(ringRadius * std::sin(angle)), 0.0f, support, 1.0f, 1));
  }
  function->addLevel(records);
  for (int i = 0; i < 4; ++i) {
    const float inside[3] = {i % 2 == 0 ? (i == 0 ? ringRadius : -ringRadius) : 0.0f,
                             i % 2 == 1 ? (i == 1 ? ringRadius : -ringRadius) : 0.0f, 0.0f};
    markZeroSet(*function, inside, ringRadius, ringRadius, 2);
  }
  return function;
}

}  // namespace wendfit::test
