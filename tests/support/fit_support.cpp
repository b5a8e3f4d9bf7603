#include "support/fit_support.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

#include "io/mesh_data.h"

namespace wendfit::test {

namespace {

struct Box {
  float min[3], max[3];
};

Box grownBox(const PointSet& points) {
  Box box;
  points.boundingBox(box.min, box.max, 1.5f);
  return box;
}

}  // namespace

LevelFitSetup::LevelFitSetup(PointSet set)
    : points(std::move(set)),
      octree(points),
      diagonal(octree.boxDiagonal()),
      function(grownBox(points).min, grownBox(points).max, nullptr) {
  function.setOffset(0.0f);
}

MeshMeasure measureMesh(const std::string& meshPath, const std::function<double(const float* p)>& distance) {
  const TriangleMesh mesh = readMesh(meshPath);
  MeshMeasure measure;
  measure.topology = analyzeTopology(mesh);
  double sum = 0;
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const double d = distance(&mesh.positions[3 * v]);
    measure.maxDistance = std::max(measure.maxDistance, d);
    sum += d;
  }
  measure.meanDistance = mesh.vertexCount() > 0 ? sum / mesh.vertexCount() : 0.0;
  return measure;
}

double unitSphereDistance(const float* p) {
  return std::fabs(std::sqrt(double{p[0]} * p[0] + double{p[1]} * p[1] + double{p[2]} * p[2]) - 1.0);
}

PointSet randomSpherePoints(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  PointSet points;
  points.allocate(count);
  for (int i = 0; i < count; ++i) {
    double n[3] = {normal(rng), normal(rng), normal(rng)};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (double& c : n) c /= length;
    points.setPosition(i, float(n[0]), float(n[1]), float(n[2]));
    points.setNormal(i, float(n[0]), float(n[1]), float(n[2]));
  }
  return points;
}

}  // namespace wendfit::test
