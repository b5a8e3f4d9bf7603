#include "support/fit_support.h"

#include <algorithm>
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

}  // namespace wendfit::test
