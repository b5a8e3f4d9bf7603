#pragma once
// PointSet: a fixed number of points in three parallel arrays. positions and
// normals hold `count` float triples; values holds one float per point and
// stays empty ("absent") until the first setValue. Whoever reorders points
// (the point octree, the kd-tree) moves position, normal and value together
// through exchange().

#include <cstddef>
#include <utility>
#include <vector>

namespace wendfit {

struct PointSet {
  std::vector<float> positions;  // 3 * count once allocated
  std::vector<float> normals;    // 3 * count once allocated
  std::vector<float> values;     // empty until the first setValue, then count
  int count = 0;

  // Sizes positions and normals for n points (contents unspecified until
  // written); values stays absent. Throws Error when n is negative.
  void allocate(int n);

  void setPosition(int i, float x, float y, float z) {
    float* p = &positions[3 * static_cast<size_t>(i)];
    p[0] = x; p[1] = y; p[2] = z;
  }
  void setNormal(int i, float x, float y, float z);
  void setValue(int i, float v);

  bool hasValues() const { return !values.empty(); }
  const float* position(int i) const { return &positions[3 * static_cast<size_t>(i)]; }
  const float* normal(int i) const { return &normals[3 * static_cast<size_t>(i)]; }

  // Exchanges every per-point entry (position, normal if present, value if
  // present) of points i and j.
  // Inline: the octree and kd-tree partitions call it once per swap.
  void exchange(int i, int j) {
    const size_t a = static_cast<size_t>(i);
    const size_t b = static_cast<size_t>(j);
    for (int k = 0; k < 3; ++k) std::swap(positions[3 * a + k], positions[3 * b + k]);
    if (!normals.empty()) {
      for (int k = 0; k < 3; ++k) std::swap(normals[3 * a + k], normals[3 * b + k]);
    }
    if (!values.empty()) std::swap(values[a], values[b]);
  }

  // The points whose entry in `keep` (one per point) is non-zero, in order,
  // with their normals and values where the set has them.
  PointSet subset(const std::vector<char>& keep) const;

  // Box of the positions grown by `factor` about its centre. On an empty set
  // both corners are (0, 0, 0).
  void boundingBox(float min[3], float max[3], float factor) const;

  // Multiplies every position by target / (largest extent of the box), about
  // the origin. An empty set, or one whose points all coincide, is left as it
  // is (callers that need a scale reject such sets first).
  // Returns the factor applied (1 when the set was left as it is).
  float rescale(float target);
};

}  // namespace wendfit
