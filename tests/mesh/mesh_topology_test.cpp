#include "mesh/mesh_topology.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "core/error.h"

namespace wendfit {
namespace {

// A tetrahedron's surface, outward winding, vertices offset by `first`.
void addTetrahedron(TriangleMesh& mesh, float shift) {
  int first = static_cast<int>(mesh.vertexCount());
  const float corners[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (const auto& c : corners) {
    for (int a = 0; a < 3; ++a) mesh.positions.push_back(c[a] + shift);
  }
  const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
  for (const auto& f : faces) {
    for (int k = 0; k < 3; ++k) mesh.triangles.push_back(first + f[k]);
  }
}

// The unit tetrahedron scaled by `scale` and moved by `shift` along every
// axis; facing inwards (a cavity) when `inward`.
void addScaled(TriangleMesh& mesh, float scale, float shift, bool inward) {
  TriangleMesh piece;
  addTetrahedron(piece, 0.0f);
  const int first = static_cast<int>(mesh.vertexCount());
  for (float x : piece.positions) mesh.positions.push_back(x * scale + shift);
  for (size_t t = 0; t < piece.triangles.size(); t += 3) {
    const int a = piece.triangles[t], b = piece.triangles[t + 1], c = piece.triangles[t + 2];
    for (int v : {a, inward ? c : b, inward ? b : c}) mesh.triangles.push_back(first + v);
  }
}

// Whether p lies in that tetrahedron.
bool inScaled(const float* p, float scale, float shift) {
  const float x = (p[0] - shift) / scale, y = (p[1] - shift) / scale, z = (p[2] - shift) / scale;
  return x >= 0 && y >= 0 && z >= 0 && x + y + z <= 1;
}

TEST(MeshTopology, TetrahedronIsClosedOrientedSphere) {
  TriangleMesh mesh;
  addTetrahedron(mesh, 0.0f);
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_TRUE(topology.watertight());
  EXPECT_TRUE(topology.manifold());
  EXPECT_TRUE(topology.oriented());
  EXPECT_EQ(topology.components, 1);
  EXPECT_EQ(topology.edges, 6);
  EXPECT_EQ(topology.eulerCharacteristic, 2);
}

TEST(MeshTopology, DetectsHolesFlipsAndNonManifoldEdges) {
  TriangleMesh open;
  addTetrahedron(open, 0.0f);
  open.triangles.resize(9);
  MeshTopology holed = analyzeTopology(open);
  EXPECT_EQ(holed.boundaryEdges, 3);
  EXPECT_FALSE(holed.watertight());
  EXPECT_TRUE(holed.manifold()) << "a disc is still a manifold with boundary";

  TriangleMesh flipped;
  addTetrahedron(flipped, 0.0f);
  std::swap(flipped.triangles[10], flipped.triangles[11]);
  MeshTopology misoriented = analyzeTopology(flipped);
  EXPECT_TRUE(misoriented.watertight());
  EXPECT_EQ(misoriented.misorientedEdges, 3);

  TriangleMesh fin;
  addTetrahedron(fin, 0.0f);
  fin.positions.insert(fin.positions.end(), {5, 5, 5});
  fin.triangles.insert(fin.triangles.end(), {0, 1, 4});
  MeshTopology finned = analyzeTopology(fin);
  EXPECT_EQ(finned.nonManifoldEdges, 1);
  EXPECT_FALSE(finned.watertight());
  EXPECT_FALSE(finned.manifold());
}

TEST(MeshTopology, TwoTetrahedraSharingAVertexAreOneNonManifoldComponent) {
  TriangleMesh mesh;
  addTetrahedron(mesh, 0.0f);
  addTetrahedron(mesh, 1.0f);
  for (int& v : mesh.triangles) {
    if (v == 4) v = 1;  // the second tetrahedron's first corner becomes the first's corner 1
  }
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_EQ(topology.components, 1);
  EXPECT_TRUE(topology.watertight());
  EXPECT_EQ(topology.nonManifoldVertices, 1);
  EXPECT_FALSE(topology.manifold());
  EXPECT_EQ(topology.vertices, 7) << "the orphaned vertex is not counted";
}

TEST(MeshTopology, DegenerateTrianglesAndBadIndices) {
  TriangleMesh mesh;
  addTetrahedron(mesh, 0.0f);
  mesh.triangles.insert(mesh.triangles.end(), {0, 0, 1});
  EXPECT_EQ(analyzeTopology(mesh).degenerateTriangles, 1);
  mesh.triangles.back() = 4;
  EXPECT_THROW(analyzeTopology(mesh), Error);
  mesh.triangles.back() = -1;
  EXPECT_THROW(analyzeTopology(mesh), Error);
}

TEST(MeshTopology, DropSmallComponentsKeepsOrderAndRenumbers) {
  TriangleMesh mesh;
  // A lone triangle first, then a tetrahedron, then another lone triangle.
  mesh.positions = {9, 9, 9, 9, 9, 8, 9, 8, 9};
  mesh.triangles = {0, 1, 2};
  addTetrahedron(mesh, 0.0f);
  mesh.normals.assign(mesh.positions.size(), 0.0f);
  for (size_t i = 0; i < mesh.normals.size(); ++i) mesh.normals[i] = static_cast<float>(i);
  int base = static_cast<int>(mesh.vertexCount());
  mesh.positions.insert(mesh.positions.end(), {7, 7, 7, 7, 7, 6, 7, 6, 7});
  mesh.normals.insert(mesh.normals.end(), {-1, -1, -1, -2, -2, -2, -3, -3, -3});
  mesh.triangles.insert(mesh.triangles.end(), {base, base + 1, base + 2});

  TriangleMesh kept = mesh;
  EXPECT_EQ(dropSmallComponents(kept, 1), 0);
  EXPECT_EQ(kept.triangles, mesh.triangles);

  EXPECT_EQ(dropSmallComponents(mesh, 2), 2);
  TriangleMesh expected;
  addTetrahedron(expected, 0.0f);
  EXPECT_EQ(mesh.positions, expected.positions);
  EXPECT_EQ(mesh.triangles, expected.triangles);
  ASSERT_EQ(mesh.normals.size(), 12u);
  EXPECT_EQ(mesh.normals.front(), 9.0f) << "normals move with their vertices";
  long components = 0;
  triangleComponents(mesh, &components);
  EXPECT_EQ(components, 1);
}

TEST(MeshTopology, DropLightComponentsSumsEachVertexOnce) {
  // Three tetrahedra: the first weighs 1 + 2 = 3, the second 3 on one
  // vertex, the third nothing.
  TriangleMesh mesh;
  for (float shift : {0.0f, 3.0f, 6.0f}) addTetrahedron(mesh, shift);
  std::vector<int> weights(12, 0);
  weights[0] = 1;
  weights[3] = 2;
  weights[5] = 3;
  TriangleMesh kept = mesh;
  EXPECT_EQ(dropLightComponents(kept, weights, 1), 1);
  EXPECT_EQ(kept.triangleCount(), 8);
  // All are light: the first of the two heaviest stays.
  EXPECT_EQ(dropLightComponents(mesh, weights, 4), 2);
  EXPECT_EQ(mesh.triangleCount(), 4);
  EXPECT_FLOAT_EQ(mesh.positions[0], 0.0f);
  EXPECT_THROW(dropLightComponents(kept, weights, 1), Error);
}

TEST(MeshTopology, DropSmallPiecesByOrientationAndVolume) {
  // A solid tetrahedron (volume 1/6) holding a small cavity (1/6000, its
  // winding reversed), a large cavity (1/6), a small solid (1/6000) and a
  // tiny one (1/6,000,000) elsewhere.
  TriangleMesh mesh;
  addScaled(mesh, 1.0f, 0.0f, false);
  addScaled(mesh, 0.1f, 0.2f, true);
  addScaled(mesh, 1.0f, 5.0f, true);
  addScaled(mesh, 0.1f, 9.0f, false);
  addScaled(mesh, 0.01f, 12.0f, false);
  for (const bool flipped : {false, true}) {
    TriangleMesh copy = mesh;
    if (flipped) {
      for (size_t t = 0; t < copy.triangles.size(); t += 3) std::swap(copy.triangles[t + 1], copy.triangles[t + 2]);
    }
    // Cavities below 0.01, solids below 1e-5: the small cavity and the tiny solid go.
    EXPECT_EQ(dropSmallPieces(copy, 0.01, 1e-5, flipped), 2);
    ASSERT_EQ(copy.vertexCount(), 12);
    EXPECT_FLOAT_EQ(copy.positions[12], 5.0f);
    EXPECT_FLOAT_EQ(copy.positions[35], 9.1f);
  }
  // Whatever the limits, the largest piece (the large cavity ties with the
  // first solid; the first of them) stays.
  EXPECT_EQ(dropSmallPieces(mesh, 1.0, 1.0, false), 4);
  EXPECT_EQ(mesh.triangleCount(), 4);
  EXPECT_FLOAT_EQ(mesh.positions[3], 1.0f);
}

TEST(MeshTopology, DropContradictedPiecesKeepsWhatTheDataEnclose) {
  // The data enclose a body (the unit tetrahedron), an ear tip apart from
  // it, and a block around a real cavity. The mesh has those, a blister in
  // empty space and a cavity inside the body's solid.
  TriangleMesh mesh;
  addScaled(mesh, 1.0f, 0.0f, false);   // body
  addScaled(mesh, 0.1f, 3.0f, false);   // blister: the data say empty
  addScaled(mesh, 0.1f, 6.0f, false);   // ear tip: the data say solid
  addScaled(mesh, 0.1f, 0.2f, true);    // cavity in the body's solid
  addScaled(mesh, 0.1f, 9.0f, true);    // real cavity
  const auto inside = [](const float* p) {
    const bool block = p[0] > 8.5f && p[0] < 9.6f && p[1] > 8.5f && p[1] < 9.6f && p[2] > 8.5f && p[2] < 9.6f;
    return inScaled(p, 1.0f, 0.0f) || inScaled(p, 0.1f, 6.0f) || (block && !inScaled(p, 0.1f, 9.0f)) ? 1.0 : 0.0;
  };
  for (const bool flipped : {false, true}) {
    TriangleMesh copy = mesh;
    if (flipped) {
      for (size_t t = 0; t < copy.triangles.size(); t += 3) std::swap(copy.triangles[t + 1], copy.triangles[t + 2]);
    }
    TriangleMesh wide = copy;
    EXPECT_EQ(dropContradictedPieces(wide, inside, 0.01, 0.1, flipped), 0);  // all wider than 0.1
    EXPECT_EQ(dropContradictedPieces(copy, inside, 0.01, 1.0, flipped), 2);
    ASSERT_EQ(copy.vertexCount(), 12);
    EXPECT_FLOAT_EQ(copy.positions[0], 0.0f);
    EXPECT_FLOAT_EQ(copy.positions[12], 6.0f);
    EXPECT_FLOAT_EQ(copy.positions[24], 9.0f);
  }
  // Data that call everything empty describe no solid: nothing goes.
  EXPECT_EQ(dropContradictedPieces(mesh, [](const float*) { return 0.0; }, 0.01, 1.0, false), 0);
}

TEST(MeshTopology, ZeroAreaTrianglesCollapseIntoAClosedManifold) {
  // An octahedron whose top vertex is split into two coincident vertices
  // (0 and 6), joined by two zero-area triangles.
  TriangleMesh mesh;
  mesh.positions = {0, 0, 1, 1, 0, 0, 0, 1, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 1};
  mesh.triangles = {0, 1, 2, 0, 2, 3, 6, 3, 4, 6, 4, 1, 0, 6, 1, 6, 0, 3,
                    5, 2, 1, 5, 3, 2, 5, 4, 3, 5, 1, 4};
  ASSERT_TRUE(analyzeTopology(mesh).watertight());
  EXPECT_EQ(zeroAreaTriangles(mesh), 2);
  std::vector<int> kept;
  EXPECT_EQ(collapseZeroAreaTriangles(mesh, &kept), 2);
  EXPECT_EQ(zeroAreaTriangles(mesh), 0);
  // One of the coincident pair went; the others keep their order.
  ASSERT_EQ(kept.size(), 6u);
  EXPECT_TRUE(kept == std::vector<int>({0, 1, 2, 3, 4, 5}) || kept == std::vector<int>({1, 2, 3, 4, 5, 6}));
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_TRUE(topology.watertight() && topology.manifold() && topology.oriented());
  EXPECT_EQ(mesh.vertexCount(), 6);
  EXPECT_EQ(topology.eulerCharacteristic, 2);
  EXPECT_EQ(edgeTopology(mesh).boundaryEdges, 0);
}

}  // namespace
}  // namespace wendfit
