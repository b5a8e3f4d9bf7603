// The point container shared by the readers, the point octree, the kd-tree
// and the fitter. Box and scale are computed in float, in the order the
// result files depend on.

#include "core/point_set.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/error.h"

namespace wendfit {

void PointSet::allocate(int n) {
  if (n < 0) throw Error("cannot allocate a point set of " + std::to_string(n) + " points");
  count = n;
  positions.resize(3 * static_cast<size_t>(n));
  normals.resize(3 * static_cast<size_t>(n));
}

void PointSet::setNormal(int i, float x, float y, float z) {
  if (normals.empty()) normals.resize(3 * static_cast<size_t>(count));
  float* p = &normals[3 * static_cast<size_t>(i)];
  p[0] = x;
  p[1] = y;
  p[2] = z;
}

void PointSet::setValue(int i, float v) {
  if (values.empty()) values.resize(static_cast<size_t>(count));
  values[static_cast<size_t>(i)] = v;
}

PointSet PointSet::subset(const std::vector<char>& keep) const {
  int kept = 0;
  for (int i = 0; i < count; ++i) kept += keep[i] != 0;
  PointSet out;
  out.allocate(kept);
  if (normals.empty()) out.normals.clear();
  if (!values.empty()) out.values.resize(static_cast<size_t>(kept));
  for (int i = 0, k = 0; i < count; ++i) {
    if (!keep[i]) continue;
    std::copy(position(i), position(i) + 3, &out.positions[3 * static_cast<size_t>(k)]);
    if (!normals.empty()) std::copy(normal(i), normal(i) + 3, &out.normals[3 * static_cast<size_t>(k)]);
    if (!values.empty()) out.values[k] = values[i];
    ++k;
  }
  return out;
}

void PointSet::boundingBox(float min[3], float max[3], float factor) const {
  if (count <= 0) {
    for (int k = 0; k < 3; ++k) min[k] = max[k] = 0.0f;
    return;
  }
  for (int k = 0; k < 3; ++k) {
    float lo = positions[k];
    float hi = lo;
    // Strict comparisons: a NaN coordinate never replaces a bound.
    for (size_t j = 1; j < static_cast<size_t>(count); ++j) {
      const float c = positions[3 * j + k];
      if (lo > c) lo = c;
      if (hi < c) hi = c;
    }
    const float mid = (lo + hi) * 0.5f;
    const float half = (hi - lo) * factor * 0.5f;
    max[k] = mid + half;
    min[k] = mid - half;
  }
}

float PointSet::rescale(float target) {
  float min[3], max[3];
  boundingBox(min, max, 1.0f);
  float largest = max[0] - min[0];
  if (max[1] - min[1] > largest) largest = max[1] - min[1];
  if (max[2] - min[2] > largest) largest = max[2] - min[2];
  // Empty sets and sets whose points coincide have no scale; callers reject
  // them before they get here.
  if (count <= 0 || !(largest > 0.0f)) return 1.0f;
  const float scale = target / largest;
  for (float& c : positions) c = scale * c;
  return scale;
}

}  // namespace wendfit
