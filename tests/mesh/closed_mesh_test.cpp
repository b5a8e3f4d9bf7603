// End-to-end: fits through the real executables whose zero sets leave the
// data (coarse meshes with holes, adaptive fits) must still give closed
// meshes, and the summary line and --require-watertight must say so.

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>

#include "driver/mesh_command.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::runCommand;
using test::TempDir;

using Voxel = std::array<int, 3>;

// The boundary of a set of unit voxels as an OFF mesh, outward winding,
// leaving out the faces for which `open` is true.
template <typename Open>
std::string voxelSurface(const std::set<Voxel>& voxels, Open open) {
  std::map<Voxel, int> index;
  std::string vertices, faces;
  int faceCount = 0;
  auto vertex = [&](Voxel p) {
    auto [slot, added] = index.emplace(p, static_cast<int>(index.size()));
    if (added) vertices += std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    return slot->second;
  };
  for (const Voxel& v : voxels) {
    for (int axis = 0; axis < 3; ++axis) {
      for (int side : {-1, 1}) {
        Voxel next = v;
        next[axis] += side;
        if (voxels.count(next) || open(v, axis, side)) continue;
        int b = (axis + 1) % 3, c = (axis + 2) % 3;
        Voxel base = v;
        if (side > 0) ++base[axis];
        int ids[4];
        const int steps[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
        for (int k = 0; k < 4; ++k) {
          Voxel p = base;
          p[b] += steps[side > 0 ? k : 3 - k][0];
          p[c] += steps[side > 0 ? k : 3 - k][1];
          ids[k] = vertex(p);
        }
        faces += "3 " + std::to_string(ids[0]) + " " + std::to_string(ids[1]) + " " + std::to_string(ids[2]) +
                 "\n3 " + std::to_string(ids[0]) + " " + std::to_string(ids[2]) + " " + std::to_string(ids[3]) + "\n";
        faceCount += 2;
      }
    }
  }
  return "OFF\n" + std::to_string(index.size()) + " " + std::to_string(faceCount) + " 0\n" + vertices + faces;
}

MeshTopology expectClosed(const std::string& path) {
  TriangleMesh mesh = readMesh(path);
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_GT(topology.triangles, 100) << path;
  EXPECT_EQ(topology.boundaryEdges, 0) << path;
  EXPECT_EQ(topology.nonManifoldEdges, 0) << path;
  EXPECT_TRUE(topology.manifold() && topology.oriented()) << path;
  EXPECT_EQ(zeroAreaTriangles(mesh), 0) << path;
  return topology;
}

TEST(ClosedMesh, CoarseMeshesWithHolesGiveClosedMeshes) {
  TempDir dir;
  // A plate of 8 x 8 x 2 voxels with a 4 x 4 hole through it (genus 1),
  // and the surface of a 6-voxel cube with a 2 x 2 hole in its top: a
  // coarse open mesh whose zero set leaves the data through the hole.
  std::set<Voxel> plate, cube;
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 8; ++y) {
      for (int z = 0; z < 6; ++z) {
        if (z < 2 && !(x >= 2 && x < 6 && y >= 2 && y < 6)) plate.insert({x, y, z});
        if (x < 6 && y < 6) cube.insert({x, y, z});
      }
    }
  }
  test::writeFile(dir.file("plate.off"), voxelSurface(plate, [](const Voxel&, int, int) { return false; }));
  test::writeFile(dir.file("cube.off"), voxelSurface(cube, [](const Voxel& v, int axis, int side) {
                    return axis == 2 && side > 0 && v[0] >= 2 && v[0] < 4 && v[1] >= 2 && v[1] < 4;
                  }));

  CommandResult fit = runCommand(test::executable("wendfit") + " " + dir.file("plate.off") + " " +
                                 dir.file("plate.fn") + " 7 --mesh " + dir.file("plate.ply"));
  ASSERT_EQ(fit.status, 0) << fit.err;
  MeshTopology plateTopology = expectClosed(dir.file("plate.ply"));
  EXPECT_EQ(plateTopology.components, 1);
  EXPECT_EQ(plateTopology.eulerCharacteristic, 0) << "a plate with a hole through it has genus 1";

  fit = runCommand(test::executable("wendfit") + " " + dir.file("cube.off") + " " + dir.file("cube.fn") + " 7");
  ASSERT_EQ(fit.status, 0) << fit.err;
  CommandResult mesh = runCommand(test::executable("wendfit-mesh") + " " + dir.file("cube.fn") + " " +
                                  dir.file("cube.ply") + " --require-watertight");
  ASSERT_EQ(mesh.status, 0) << mesh.err;
  EXPECT_NE(mesh.err.find(", watertight, "), std::string::npos) << mesh.err;
  MeshTopology cubeTopology = expectClosed(dir.file("cube.ply"));
  EXPECT_EQ(cubeTopology.eulerCharacteristic % 2, 0);
}

TEST(ClosedMesh, AdaptiveFitOfATorusIsAClosedTorus) {
  TempDir dir;
  const std::string points = std::string(WENDFIT_SOURCE_DIR) + "/examples/torus.pts";
  CommandResult fit = runCommand(test::executable("wendfit") + " " + points + " " + dir.file("torus.fn") +
                                 " 8 0.001 --mesh " + dir.file("torus.ply") + " --require-watertight");
  ASSERT_EQ(fit.status, 0) << fit.err;
  MeshTopology topology = expectClosed(dir.file("torus.ply"));
  EXPECT_EQ(topology.components, 1);
  EXPECT_EQ(topology.eulerCharacteristic, 0);
}

TEST(ClosedMesh, OpenMeshesAreNeverCalledWatertight) {
  MeshOptions options;
  MeshSummary summary;
  summary.boundaryEdges = 3;
  summary.nonManifoldEdges = 1;
  std::string line = summaryLine("m.ply", options, summary);
  EXPECT_NE(line.find(", not watertight (3 boundary edges, 1 non-manifold edges), "), std::string::npos) << line;
  summary.boundaryEdges = 0;
  line = summaryLine("m.ply", options, summary);
  EXPECT_NE(line.find(", not watertight (0 boundary edges, 1 non-manifold edges), "), std::string::npos) << line;
  summary.nonManifoldEdges = 0;
  EXPECT_NE(summaryLine("m.ply", options, summary).find(", watertight, "), std::string::npos);

  options.requireWatertight = true;
  summary.boundaryEdges = 2;
  try {
    requireWatertight("out/m.ply", options, summary);
    ADD_FAILURE() << "an open mesh passed --require-watertight";
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("out/m.ply: the mesh is not watertight: 2 boundary edges, 0 ", 0), 0u)
        << error.what();
  }
  summary.boundaryEdges = 0;
  EXPECT_NO_THROW(requireWatertight("out/m.ply", options, summary));
}

}  // namespace
}  // namespace wendfit
