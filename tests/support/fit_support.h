#pragma once
// Set-ups shared by the fitting tests: a fit driven level by level by hand,
// and the measure of an extracted mesh against an exact surface.

#include <functional>
#include <string>

#include "core/point_set.h"
#include "function/implicit_function.h"
#include "mesh/mesh_topology.h"
#include "spatial/point_octree.h"

namespace wendfit::test {

// The points, their octree and box diagonal, and an empty function (offset 0)
// over their box grown 1.5 times, as the level loop starts a fit. Not
// movable: the octree refers to `points`.
struct LevelFitSetup {
  explicit LevelFitSetup(PointSet set);
  LevelFitSetup(const LevelFitSetup&) = delete;
  LevelFitSetup& operator=(const LevelFitSetup&) = delete;

  PointSet points;
  PointOctree octree;
  float diagonal;
  ImplicitFunction function;
};

struct MeshMeasure {
  MeshTopology topology;
  double maxDistance = 0;   // of a vertex from the exact surface
  double meanDistance = 0;  // over the vertices; 0 for an empty mesh
};

// Reads the mesh at `meshPath` and measures its topology and how far its
// vertices lie from an exact surface: `distance` of a vertex position.
MeshMeasure measureMesh(const std::string& meshPath, const std::function<double(const float* p)>& distance);

// The distance of p from the unit sphere about the origin (double precision).
double unitSphereDistance(const float* p);

// `count` random points on the unit sphere (seeded, direction-uniform) with
// outward unit normals.
PointSet randomSpherePoints(int count, unsigned seed);

}  // namespace wendfit::test
