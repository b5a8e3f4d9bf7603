#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver/level_rule.h"
#include "driver/reconstruct.h"
#include "io/input_reader.h"
#include "mesh/face_orientation.h"
#include "mesh/face_sampling.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"
#include "mesh/surface_grid.h"
#include "support/fit_support.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::executable;
using test::runCommand;
using test::TempDir;

PointSet sphere(const TempDir& dir, int count) {
  const std::string path = dir.file("sphere" + std::to_string(count) + ".xyz");
  test::writeFile(path, test::sphereXyz(count, 1.0));
  return readAnyInput(path, nullptr);
}

TEST(LevelRule, EachHalvingOfTheSpacingAddsOneLevel) {
  TempDir dir;
  const double boxDiagonal = 2.0 * std::sqrt(3.0);
  // wendfit's rule, and wendfit-reconstruct's for point inputs, whose
  // widened root makes the finest radius exact.
  for (const bool exact : {false, true}) {
    const double aim = exact ? kReconstructRadiusSpacings : kFinestRadiusSpacings;
    int previous = 0;
    double previousSpacing = 0.0;
    for (int count : {1500, 6000, 24000}) {
      SCOPED_TRACE(std::to_string(count) + " points, aim " + std::to_string(aim));
      const double spacing = measureSampleSpacing(sphere(dir, count));
      const LevelGeometry geometry = exact ? exactLevels(boxDiagonal, spacing, aim, kReconstructRadiusPerCell)
                                           : LevelGeometry{levelsForSpacing(boxDiagonal, spacing, aim), 1.0};
      const int levels = geometry.levels;
      if (previous > 0) {
        EXPECT_NEAR(spacing / previousSpacing, 0.5, 0.05);
        EXPECT_EQ(levels, previous + 1);
      }
      const double spacings =
          finestSupportRadius(levels, boxDiagonal, geometry.rootScale, geometry.radiusPerCell) / spacing;
      if (exact) {
        EXPECT_NEAR(spacings, aim, 1e-9 * aim);
        EXPECT_GE(geometry.rootScale, 1.0);
        EXPECT_LT(geometry.rootScale, 2.0);
      } else {
        // The finest radius lands within a factor sqrt(2) of the aim.
        EXPECT_GT(spacings, aim / std::sqrt(2.0));
        EXPECT_LT(spacings, aim * std::sqrt(2.0));
      }
      previous = levels;
      previousSpacing = spacing;
    }
  }
  // The advice names the rule's count when the given one is well off it,
  // and keeps quiet about a mesh of one piece.
  const double spacing = measureSampleSpacing(sphere(dir, 1500));
  const int suggested = levelsForSpacing(boxDiagonal, spacing);
  const std::string finer = levelAdvice(suggested + 3, boxDiagonal, spacing, 5000, 40);
  EXPECT_NE(finer.find("LEVELS " + std::to_string(suggested + 3) + " is finer than the data"), std::string::npos);
  EXPECT_NE(finer.find("; try " + std::to_string(suggested)), std::string::npos);
  EXPECT_NE(levelAdvice(suggested - 1, boxDiagonal, spacing, 0, 0).find("is coarser"), std::string::npos);
  EXPECT_EQ(levelAdvice(suggested + 3, boxDiagonal, spacing, 5000, 1), "");
}

TEST(FaceSampling, UniformByAreaOnTheFacesWithTheirNormals) {
  // A unit right triangle in z = 0 facing +z and a quad of area 3 in x = 5
  // facing +x (fanned into two triangles).
  PointSet vertices;
  vertices.allocate(7);
  const float corners[7][3] = {{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {5, 0, 0}, {5, 1, 0}, {5, 1, 3}, {5, 0, 3}};
  for (int i = 0; i < 7; ++i) vertices.setPosition(i, corners[i][0], corners[i][1], corners[i][2]);
  FaceList faces;
  faces.indices = {0, 1, 2, 3, 4, 5, 6};
  faces.starts = {0, 3, 7};
  const int count = 40000;
  const PointSet samples = sampleMeshFaces(vertices, faces, count, 7);
  ASSERT_EQ(samples.count, count);
  int onTriangle = 0;
  for (int i = 0; i < count; ++i) {
    const float* p = samples.position(i);
    const float* n = samples.normal(i);
    if (p[2] == 0.0f) {
      ++onTriangle;
      EXPECT_TRUE(p[0] >= 0 && p[1] >= 0 && 2 * p[0] + p[1] <= 2.0001f) << i;
      EXPECT_EQ(n[2], 1.0f);
    } else {
      EXPECT_EQ(p[0], 5.0f);
      EXPECT_TRUE(p[1] >= 0 && p[1] <= 1 && p[2] >= 0 && p[2] <= 3) << i;
      EXPECT_EQ(n[0], 1.0f);
    }
  }
  EXPECT_NEAR(onTriangle / static_cast<double>(count), 0.25, 0.01);
  EXPECT_EQ(sampleMeshFaces(vertices, faces, 50, 7).positions, sampleMeshFaces(vertices, faces, 50, 7).positions);
  EXPECT_NE(sampleMeshFaces(vertices, faces, 50, 7).positions, sampleMeshFaces(vertices, faces, 50, 8).positions);
  EXPECT_GE(defaultSampleCount(vertices, faces), vertices.count);

  // An L-shaped face of area 3, listed from the corner whose fan would
  // cover the notch: every sample lies in the L and faces the same way.
  PointSet ell;
  ell.allocate(6);
  const float lCorners[6][3] = {{2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0}, {0, 0, 0}};
  for (int i = 0; i < 6; ++i) ell.setPosition(i, lCorners[i][0], lCorners[i][1], lCorners[i][2]);
  FaceList lFace;
  lFace.indices = {0, 1, 2, 3, 4, 5};
  lFace.starts = {0, 6};
  const PointSet lSamples = sampleMeshFaces(ell, lFace, 3000, 7);
  for (int i = 0; i < lSamples.count; ++i) {
    const float* p = lSamples.position(i);
    EXPECT_FALSE(p[0] > 1.0001f && p[1] > 1.0001f) << i;
    EXPECT_EQ(lSamples.normal(i)[2], 1.0f) << i;
  }
}

// Faces from lists of corners, each list one face.
FaceList faceList(const std::vector<std::vector<int>>& corners) {
  FaceList faces;
  for (const std::vector<int>& face : corners) {
    faces.indices.insert(faces.indices.end(), face.begin(), face.end());
    faces.closeFace("test");
  }
  return faces;
}

TEST(FaceOrientation, TurnsFacesToAgreeAndOutwardWhereThePartIsClosed) {
  PointSet cube;
  cube.allocate(8);
  for (int v = 0; v < 8; ++v) cube.setPosition(v, v & 1, (v >> 1) & 1, (v >> 2) & 1);
  // Counter-clockwise from outside.
  const std::vector<std::vector<int>> outward = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                                 {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  std::vector<std::vector<int>> inward = outward;
  for (auto& face : inward) std::reverse(face.begin() + 1, face.end());
  // All inward agree already: kept as they are.
  FaceList faces = faceList(inward);
  EXPECT_EQ(orientFacesConsistently(cube, faces), 0);
  EXPECT_EQ(faces.indices, faceList(inward).indices);
  // Four of six inward: the two that disagree are not simply outvoted, the
  // closed cube turns outward.
  std::vector<std::vector<int>> mixed = inward;
  mixed[1] = outward[1];
  mixed[4] = outward[4];
  faces = faceList(mixed);
  FaceParts shape;
  EXPECT_EQ(orientFacesConsistently(cube, faces, &shape), 4);
  EXPECT_EQ(faces.indices, faceList(outward).indices);
  EXPECT_EQ(shape.parts, 1);
  EXPECT_TRUE(shape.closed);
  // Two cubes sharing no edge: two closed parts; one face less: open.
  PointSet twoCubes;
  twoCubes.allocate(16);
  for (int v = 0; v < 16; ++v) twoCubes.setPosition(v, (v & 1) + 3 * (v >> 3), (v >> 1) & 1, (v >> 2) & 1);
  std::vector<std::vector<int>> both = outward;
  for (auto face : outward) {
    for (int& v : face) v += 8;
    both.push_back(face);
  }
  faces = faceList(both);
  orientFacesConsistently(twoCubes, faces, &shape);
  EXPECT_EQ(shape.parts, 2);
  EXPECT_TRUE(shape.closed);
  both.pop_back();
  faces = faceList(both);
  orientFacesConsistently(twoCubes, faces, &shape);
  EXPECT_FALSE(shape.closed);
  // An open strip of three squares keeps the side of the larger area.
  PointSet strip;
  strip.allocate(8);
  for (int v = 0; v < 8; ++v) strip.setPosition(v, v / 2, v % 2, 0);
  faces = faceList({{0, 2, 3, 1}, {2, 3, 5, 4}, {4, 6, 7, 5}});
  EXPECT_EQ(orientFacesConsistently(strip, faces), 1);
  EXPECT_EQ(faces.indices, faceList({{0, 2, 3, 1}, {2, 4, 5, 3}, {4, 6, 7, 5}}).indices);
}

// A torus (major radius 2, tube radius 0.8) as a coarse polyhedron of 16 x 8
// quads, counter-clockwise seen from outside; `shuffled`: every third face
// runs the other way.
std::string coarseTorusOff(bool shuffled = false) {
  const int nu = 16;
  const int nv = 8;
  std::string text = "OFF\n" + std::to_string(nu * nv) + " " + std::to_string(nu * nv) + " 0\n";
  char line[120];
  for (int i = 0; i < nu; ++i) {
    for (int j = 0; j < nv; ++j) {
      const double u = 2 * M_PI * i / nu;
      const double v = 2 * M_PI * j / nv;
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", (2 + 0.8 * std::cos(v)) * std::cos(u),
                    (2 + 0.8 * std::cos(v)) * std::sin(u), 0.8 * std::sin(v));
      text += line;
    }
  }
  auto at = [&](int i, int j) { return ((i + nu) % nu) * nv + (j + nv) % nv; };
  for (int i = 0; i < nu; ++i) {
    for (int j = 0; j < nv; ++j) {
      const bool turned = shuffled && (i * nv + j) % 3 == 0;
      std::snprintf(line, sizeof line, "4 %d %d %d %d\n", at(i, j), turned ? at(i, j + 1) : at(i + 1, j),
                    at(i + 1, j + 1), turned ? at(i + 1, j) : at(i, j + 1));
      text += line;
    }
  }
  return text;
}

TEST(ReconstructTool, CoarseMeshWithAHoleKeepsItsGenus) {
  // Also with a third of its faces running the other way, as meshes that
  // do not orient their faces alike have them.
  for (const bool shuffled : {false, true}) {
    SCOPED_TRACE(shuffled ? "shuffled" : "oriented");
    TempDir dir;
    test::writeFile(dir.file("torus.off"), coarseTorusOff(shuffled));
    const test::CommandResult run = runCommand("timeout 300 " + executable("wendfit-reconstruct") + " " +
                                               dir.file("torus.off") + " " + dir.file("torus.stl") +
                                               " --samples 6000 --threads 2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("6000 points sampled on the faces"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("43 faces reversed to agree with their neighbours") != std::string::npos, shuffled)
        << run.err;
    EXPECT_NE(run.err.find("watertight"), std::string::npos) << run.err;
    // Its sharp edges read as noise, but face samples are exact.
    EXPECT_NE(run.err.find("exact); 0 normals re-oriented or dropped; threshold 0, regularization 1,"),
              std::string::npos)
        << run.err;
    const TriangleMesh mesh = readMesh(dir.file("torus.stl"));
    const MeshTopology topology = analyzeTopology(mesh);
    EXPECT_TRUE(topology.watertight());
    EXPECT_EQ(topology.components, 1);
    EXPECT_EQ(topology.eulerCharacteristic, 0);
    // In the input's coordinates, near the polyhedron (its faces lie up to
    // 0.1 inside the smooth torus through its vertices).
    double farthest = 0.0;
    for (long v = 0; v < mesh.vertexCount(); ++v) {
      const float* p = &mesh.positions[3 * v];
      const double ring = std::hypot(p[0], p[1]) - 2.0;
      farthest = std::max(farthest, std::abs(std::hypot(ring, double{p[2]}) - 0.8));
    }
    EXPECT_LT(farthest, 0.15);
    if (shuffled) continue;
    // The STL written reads back as a mesh input with the same genus.
    const test::CommandResult again = runCommand("timeout 300 " + executable("wendfit-reconstruct") + " " +
                                                 dir.file("torus.stl") + " " + dir.file("again.ply") +
                                                 " --samples 6000 --threads 2");
    ASSERT_EQ(again.status, 0) << again.err;
    const MeshTopology againTopology = analyzeTopology(readMesh(dir.file("again.ply")));
    EXPECT_TRUE(againTopology.watertight());
    EXPECT_EQ(againTopology.components, 1);
    EXPECT_EQ(againTopology.eulerCharacteristic, 0);
    // The single-precision terms (the default) give the same mesh on one
    // thread as on two.
    const test::CommandResult one = runCommand("timeout 300 " + executable("wendfit-reconstruct") + " " +
                                               dir.file("torus.off") + " " + dir.file("one.stl") +
                                               " --samples 6000 --threads 1");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(test::readFile(dir.file("one.stl")), test::readFile(dir.file("torus.stl")));
  }
}

// A 4 x 1 x 1 box whose faces run clockwise seen from outside (`inward`) or
// counter-clockwise.
std::string boxOff(bool inward) {
  std::string text = "OFF\n8 6 0\n";
  for (int v = 0; v < 8; ++v) {
    text += std::to_string(4 * (v & 1)) + " " + std::to_string((v >> 1) & 1) + " " + std::to_string((v >> 2) & 1) + "\n";
  }
  const int outward[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& face : outward) {
    text += inward ? "4 " + std::to_string(face[0]) + " " + std::to_string(face[3]) + " " + std::to_string(face[2]) +
                         " " + std::to_string(face[1]) + "\n"
                   : "4 " + std::to_string(face[0]) + " " + std::to_string(face[1]) + " " + std::to_string(face[2]) +
                         " " + std::to_string(face[3]) + "\n";
  }
  return text;
}

TEST(ReconstructTool, NormalsThatPointInAreReversedBeforeTheFit) {
  // Everything beyond the points' box is outside to the sign guard, on the
  // side the normals point to: inward normals on a box-shaped solid, whose
  // faces are the points' box, set it against the data at every level.
  TempDir dir;
  ReconstructSummary summaries[2];
  for (const bool inward : {false, true}) {
    const std::string name = inward ? "inward" : "outward";
    test::writeFile(dir.file(name + ".off"), boxOff(inward));
    ReconstructOptions options;
    options.input = dir.file(name + ".off");
    options.meshPath = dir.file(name + ".ply");
    options.samples = 6000;
    options.threads = 2;
    ReconstructSummary& summary = summaries[inward];
    summary = reconstruct(options, nullptr);
    EXPECT_EQ(summary.reversedNormals, inward);
    const test::MeshMeasure measure = test::measureMesh(options.meshPath, [](const float* p) {
      // Distance to the box's surface, from inside or out.
      const double size[3] = {4.0, 1.0, 1.0};
      double excess = 0.0, depth = 1e9;
      for (int a = 0; a < 3; ++a) {
        const double out = std::max({-double{p[a]}, p[a] - size[a], 0.0});
        excess += out * out;
        depth = std::min({depth, double{p[a]}, size[a] - p[a]});
      }
      return excess > 0.0 ? std::sqrt(excess) : depth;
    });
    EXPECT_TRUE(measure.topology.watertight()) << name;
    EXPECT_EQ(measure.topology.components, 1) << name;
    EXPECT_LT(measure.maxDistance, 0.12) << name;
  }
  // Samples of the same faces: about as many records either way (the guard
  // set against the data added thousands).
  EXPECT_NEAR(static_cast<double>(summaries[1].basisFunctions) / summaries[0].basisFunctions, 1.0, 0.02);
}

TEST(ReconstructTool, StrayPointsFarAwayAreDroppedAndCounted) {
  // A unit sphere of 3000 points and four strays 50 units out: with them the
  // box is a hundred times wider and its coarse levels fill it.
  TempDir dir;
  std::string text = test::sphereXyz(3000, 1.0);
  for (const char* stray : {"50 0 0 1 0 0\n", "-50 20 3 0 1 0\n", "0 -50 40 0 0 1\n", "30 30 -50 1 0 0\n"}) {
    text += stray;
  }
  test::writeFile(dir.file("strays.xyz"), text);
  const test::CommandResult run = runCommand("timeout 60 " + executable("wendfit-reconstruct") + " " +
                                             dir.file("strays.xyz") + " " + dir.file("out.ply"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("4 isolated points dropped"), std::string::npos) << run.err;
  const test::MeshMeasure measure = test::measureMesh(dir.file("out.ply"), test::unitSphereDistance);
  EXPECT_EQ(measure.topology.components, 1);
  EXPECT_EQ(measure.topology.eulerCharacteristic, 2);
  EXPECT_LT(measure.maxDistance, 0.01);
}

// Reconstructs the oriented points `text` (x y z nx ny nz per line) with the
// tool's defaults into dir/NAME.ply (with --drop-isolated when `dropAll`).
ReconstructSummary reconstructText(const TempDir& dir, const std::string& name, const std::string& text,
                                   bool dropAll = false) {
  test::writeFile(dir.file(name + ".xyz"), text);
  ReconstructOptions options;
  options.input = dir.file(name + ".xyz");
  options.meshPath = dir.file(name + ".ply");
  options.threads = 2;
  options.dropAllIsolated = dropAll;
  return reconstruct(options, nullptr);
}

void appendPoint(std::string& text, const double p[3], const double n[3]) {
  char line[200];
  std::snprintf(line, sizeof line, "%.9g %.9g %.9g %.9g %.9g %.9g\n", p[0], p[1], p[2], n[0], n[1], n[2]);
  text += line;
}

TEST(ReconstructTool, OutliersAroundTheSurfaceAreDroppedAndCounted) {
  // A unit sphere of 20,000 points and outliers scattered through its box
  // with random normals: too many together to look isolated across dozens
  // of sample spacings, each alone within a few. Kept, each grows a closed
  // piece of its own. At 1 % they go; at 3 % they could be a sparse part of
  // the data, and only --drop-isolated drops them.
  struct Case {
    int outliers;
    bool dropAll;
  };
  for (const Case& c : {Case{200, false}, Case{600, false}, Case{600, true}}) {
    SCOPED_TRACE(std::to_string(c.outliers) + (c.dropAll ? " outliers, --drop-isolated" : " outliers"));
    TempDir dir;
    std::string text = test::sphereXyz(20000, 1.0);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int added = 0; added < c.outliers;) {
      const double p[3] = {uniform(random), uniform(random), uniform(random)};
      const double n[3] = {normal(random), normal(random), normal(random)};
      const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
      if (r > 0.8 && r < 1.2) continue;
      appendPoint(text, p, n);
      ++added;
    }
    const ReconstructSummary summary = reconstructText(dir, "outliers", text, c.dropAll);
    if (c.outliers > 200 && !c.dropAll) {
      EXPECT_EQ(summary.isolatedPoints, 0);
      EXPECT_GE(summary.keptIsolated, c.outliers / 2);
      continue;
    }
    EXPECT_EQ(summary.keptIsolated, 0);
    EXPECT_GE(summary.isolatedPoints, c.outliers / 2);  // those beside the sphere stay
    EXPECT_LE(summary.isolatedPoints, c.outliers);
    const test::MeshMeasure measure = test::measureMesh(dir.file("outliers.ply"), test::unitSphereDistance);
    EXPECT_EQ(measure.topology.components, 1);
    EXPECT_EQ(measure.topology.eulerCharacteristic, 2);
    EXPECT_LT(measure.maxDistance, 0.01);
  }
}

TEST(ReconstructTool, PiecesGrownAroundFloatersAreDropped) {
  // A unit sphere of 20,000 points and twenty clusters of 15 points off it,
  // each with normals that agree: the coarse levels close a surface as wide
  // as their supports around a cluster. What stays of those lies close to
  // its points.
  TempDir dir;
  std::string text = test::sphereXyz(20000, 1.0);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> uniform(-1.5, 1.5);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int cluster = 0; cluster < 20;) {
    const double c[3] = {uniform(random), uniform(random), uniform(random)};
    const double r = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    if (r > 0.7 && r < 1.3) continue;
    double n[3] = {normal(random), normal(random), normal(random)};
    for (int k = 0; k < 15; ++k) {
      const double p[3] = {c[0] + 0.02 * normal(random), c[1] + 0.02 * normal(random), c[2] + 0.02 * normal(random)};
      appendPoint(text, p, n);
    }
    ++cluster;
  }
  const ReconstructSummary summary = reconstructText(dir, "floaters", text);
  EXPECT_GT(summary.mesh.unsupportedComponents, 0);
  EXPECT_LT(summary.mesh.maxDataDistance, 10.0 * summary.mesh.sampleSpacing);
  const test::MeshMeasure measure = test::measureMesh(dir.file("floaters.ply"), [](const float* p) {
    const double d = test::unitSphereDistance(p);
    return d < 0.1 ? d : 0.0;  // the sphere's part only
  });
  EXPECT_TRUE(measure.topology.watertight());
  EXPECT_LE(measure.topology.components, 21);
  EXPECT_LT(measure.maxDistance, 0.01);
}

TEST(ReconstructTool, TwoObjectsFarApartAreBothMeshed) {
  // Two unit spheres 2,000 units apart: cells as small as the spheres'
  // detail make a grid of about 14,000 cells along the box, of which only
  // the cells near the surface are ever visited.
  TempDir dir;
  std::string text = test::sphereXyz(1000, 1.0);
  test::writeFile(dir.file("one.xyz"), text);
  const PointSet far = readAnyInput(dir.file("one.xyz"), nullptr);
  for (int i = 0; i < far.count; ++i) {
    const float* p = far.position(i);
    const float* n = far.normal(i);
    const double shifted[3] = {p[0] + 2000.0, p[1], p[2]};
    const double normal[3] = {n[0], n[1], n[2]};
    appendPoint(text, shifted, normal);
  }
  const ReconstructSummary summary = reconstructText(dir, "two", text);
  EXPECT_GT(summary.mesh.stats.resolution, kMaxFullBoxResolution);
  const test::MeshMeasure measure = test::measureMesh(dir.file("two.ply"), [](const float* p) {
    const float near[3] = {p[0] < 1000.0f ? p[0] : p[0] - 2000.0f, p[1], p[2]};
    return test::unitSphereDistance(near);
  });
  EXPECT_TRUE(measure.topology.watertight());
  EXPECT_EQ(measure.topology.components, 2);
  EXPECT_EQ(measure.topology.eulerCharacteristic, 4);
  EXPECT_LT(measure.maxDistance, 0.02);
}

TEST(ReconstructTool, BadArgumentsAndInputsFailWithoutWriting) {
  TempDir dir;
  const std::string tool = executable("wendfit-reconstruct");
  struct Case {
    std::string arguments;
    int status;
    std::string message;
  } cases[] = {
      {"", 2, "expected INPUT and MESH"},
      {dir.file("a.xyz") + " " + dir.file("out.ply") + " --levels 0", 2, "--levels: \"0\" is not a whole number"},
      {dir.file("a.xyz") + " " + dir.file("out.vrml"), 2, "unknown mesh format"},
      {dir.file("a.xyz") + " " + dir.file("out.ply") + " --keep-isolated --drop-isolated", 2, "opposite things"},
      {dir.file("missing.xyz") + " " + dir.file("out.ply"), 1, dir.file("missing.xyz")},
      // Every point at one position: no extent and no spacing.
      {dir.file("twin.xyz") + " " + dir.file("out.ply"), 1, "points are at one position"},
      // A flat patch has no inside: no surface, and no empty file left behind.
      {dir.file("flat.xyz") + " " + dir.file("out.ply"), 1, "the points enclose no volume"},
      // A closed surface, but a grid of 3 cells steps over the whole torus:
      // the grid is named, not the points.
      {std::string(WENDFIT_SOURCE_DIR) + "/examples/torus.pts " + dir.file("out.ply") + " --resolution 3", 1,
       "no surface at --resolution 3"},
      // A unit sphere ten million units from the origin: floats there step by
      // 1, and the fit would trace their rounding (the extraction ran for
      // minutes).
      {dir.file("far.xyz") + " " + dir.file("out.ply"), 1, "too coarse for that spacing"},
      // Binary bytes where text was expected are shown escaped, on one line.
      {dir.file("binary.dat") + " " + dir.file("out.ply"), 1, "malformed integer '\\xd0A\\x00\\x01'"},
      // Normals of random sign: no side to keep.
      {dir.file("unoriented.xyz") + " " + dir.file("out.ply"), 1, "the normals are not consistently oriented"},
  };
  test::writeFile(dir.file("binary.dat"), std::string("\xd0" "A\x00\x01 2 3\n", 9));
  std::string far;
  const std::string sphere = test::sphereXyz(300, 1.0);
  for (size_t at = 0, end; (end = sphere.find('\n', at)) != std::string::npos; at = end + 1) {
    double x = 0;
    int used = 0;
    std::sscanf(sphere.c_str() + at, "%lf%n", &x, &used);
    far += std::to_string(x + 1e7) + sphere.substr(at + used, end + 1 - at - used);
  }
  test::writeFile(dir.file("far.xyz"), far);
  std::string unoriented;
  std::mt19937 random(3);
  for (int i = 0; i < 3000; ++i) {
    double n[3];
    test::spiralPoint(i, 3000, n);
    const double sign = random() % 2 ? 1.0 : -1.0;
    const double normal[3] = {sign * n[0], sign * n[1], sign * n[2]};
    appendPoint(unoriented, n, normal);
  }
  test::writeFile(dir.file("unoriented.xyz"), unoriented);
  test::writeFile(dir.file("twin.xyz"), "1 1 1 0 0 1\n1 1 1 0 1 0\n1 1 1 1 0 0\n");
  std::string flat;
  for (int i = 0; i < 400; ++i) flat += std::to_string(i % 20 * 0.1) + " " + std::to_string(i / 20 * 0.1) + " 0 0 0 1\n";
  test::writeFile(dir.file("flat.xyz"), flat);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const test::CommandResult run = runCommand(tool + " " + c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find("wendfit-reconstruct: error: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_FALSE(test::fileExists(dir.file("out.ply")));
  }
  // The designed fit runs on such points as it always has; its mesh is
  // refused for the same reason, naming the mesh.
  const test::CommandResult fit = runCommand(executable("wendfit") + " --quiet " + dir.file("far.xyz") + " " +
                                             dir.file("far.fn") + " 6 --mesh " + dir.file("out.ply"));
  EXPECT_EQ(fit.status, 1);
  EXPECT_NE(fit.err.find(dir.file("out.ply") + ": the function's box reaches"), std::string::npos) << fit.err;
  EXPECT_FALSE(test::fileExists(dir.file("out.ply")));
}

TEST(WendfitAdvice, EmptyMeshNamesALevelCountThatWorks) {
  // Two unit spheres 1000 apart: at 6 levels the finest supports span both,
  // and the fit has no inside.
  TempDir dir;
  std::string twoSpheres;
  for (double shift : {-500.0, 500.0}) {
    const std::string text = test::sphereXyz(300, 1.0);
    char line[200];
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      double v[6];
      ASSERT_EQ(std::sscanf(text.c_str() + at, "%lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 6);
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g %.9g %.9g %.9g\n", v[0] + shift, v[1], v[2], v[3], v[4], v[5]);
      twoSpheres += line;
      at = end + 1;
    }
  }
  test::writeFile(dir.file("two.xyz"), twoSpheres);
  const std::string fit = executable("wendfit") + " " + dir.file("two.xyz") + " " + dir.file("two.fn");
  const test::CommandResult coarse = runCommand(fit + " 6 --mesh " + dir.file("coarse.ply"));
  EXPECT_EQ(coarse.status, 0);
  EXPECT_NE(coarse.err.find(" 0 triangles"), std::string::npos) << coarse.err;
  const size_t hint = coarse.err.find("wendfit: hint: LEVELS 6 is coarser than the data");
  const size_t tryAt = coarse.err.find("; try ");
  ASSERT_TRUE(hint != std::string::npos && tryAt != std::string::npos) << coarse.err;
  const int suggested = std::atoi(coarse.err.c_str() + tryAt + 6);
  EXPECT_GT(suggested, 6);
  const test::CommandResult fine = runCommand(fit + " " + std::to_string(suggested) + " --mesh " + dir.file("fine.ply"));
  EXPECT_EQ(fine.status, 0);
  EXPECT_NE(fine.err.find("2 components, watertight"), std::string::npos) << fine.err;
  EXPECT_EQ(fine.err.find("hint"), std::string::npos) << fine.err;
}

}  // namespace
}  // namespace wendfit
