// End-to-end tests of the wendfit-mesh executable on kilobyte-sized result
// files written from hand-made functions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "io/function_file_writer.h"
#include "support/hand_made_functions.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::runCommand;
using test::TempDir;

std::string tool() { return test::executable("wendfit-mesh"); }

// A sphere of radius 2 and, apart from it, a small sphere around
// (3, 3, 3): two components of quite different size.
std::string writeTwoSpheres(const TempDir& dir) {
  auto function = test::sphereFunction(2.0f, 5.0f, 4.0f);
  function->addLevel({test::constantRecord(3.0f, 3.0f, 3.0f, 0.8f, 2.0f, 3)});
  const float bump[3] = {3.0f, 3.0f, 3.0f};
  test::markZeroSet(*function, bump, 0.8f, 0.8f, 4);
  std::string path = dir.file("two.fn");
  writeFunctionFile(*function, path, nullptr);
  return path;
}

std::string writeSphere(const TempDir& dir) {
  auto function = test::sphereFunction(2.0f, 5.0f, 4.0f);
  std::string path = dir.file("sphere.fn");
  writeFunctionFile(*function, path, nullptr);
  return path;
}

TEST(MeshTool, WritesAWatertightMeshAndOneSummaryLine) {
  TempDir dir;
  std::string function = writeSphere(dir);
  for (const char* name : {"s.ply", "s.obj", "s.off"}) {
    std::string mesh = dir.file(name);
    CommandResult run = runCommand(tool() + " " + function + " " + mesh + " --resolution 20 --normals");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("Mesh " + mesh + ": ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" triangles, 1 component, watertight, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" evaluations, resolution 20, "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line";
    TriangleMesh read = readMesh(mesh);
    MeshTopology topology = analyzeTopology(read);
    EXPECT_TRUE(topology.watertight() && topology.manifold() && topology.oriented()) << name;
    EXPECT_EQ(read.normals.size(), read.positions.size());
  }
}

TEST(MeshTool, ScaleAndLikeWriteInputCoordinates) {
  TempDir dir;
  std::string function = writeSphere(dir);
  ASSERT_EQ(runCommand(tool() + " " + function + " " + dir.file("fit.ply") + " --resolution 16").status, 0);
  ASSERT_EQ(runCommand(tool() + " " + function + " " + dir.file("half.ply") + " --resolution 16 --scale 2").status,
            0);
  // Points whose box has a largest extent of 4: the fit scales them by 5.
  test::writeFile(dir.file("points.txt"), "2\n0 0 0\n4 1 1\n0 0 1\n0 0 1\n");
  CommandResult like =
      runCommand(tool() + " " + function + " " + dir.file("like.ply") + " --resolution 16 --like " + dir.file("points.txt"));
  ASSERT_EQ(like.status, 0) << like.err;
  EXPECT_EQ(like.out, "") << "the input reader stays silent";
  TriangleMesh fit = readMesh(dir.file("fit.ply"));
  TriangleMesh half = readMesh(dir.file("half.ply"));
  TriangleMesh fifth = readMesh(dir.file("like.ply"));
  ASSERT_EQ(fit.positions.size(), half.positions.size());
  ASSERT_EQ(fit.positions.size(), fifth.positions.size());
  for (size_t i = 0; i < fit.positions.size(); ++i) {
    EXPECT_EQ(half.positions[i], fit.positions[i] / 2.0f);
    EXPECT_EQ(fifth.positions[i], static_cast<float>(double{fit.positions[i]} / 5.0));
  }
  EXPECT_EQ(fit.triangles, half.triangles);
}

TEST(MeshTool, SameBytesForAnyThreadCount) {
  TempDir dir;
  std::string function = writeTwoSpheres(dir);
  std::string common = tool() + " " + function + " ";
  ASSERT_EQ(runCommand(common + dir.file("one.ply") + " --normals --threads 1").status, 0);
  ASSERT_EQ(runCommand(common + dir.file("two.ply") + " --normals --threads 2").status, 0);
  EXPECT_EQ(test::readFile(dir.file("one.ply")), test::readFile(dir.file("two.ply")));
}

TEST(MeshTool, MinComponentDropsAndReportsSmallComponents) {
  TempDir dir;
  std::string function = writeTwoSpheres(dir);
  CommandResult both = runCommand(tool() + " " + function + " " + dir.file("both.ply") + " --resolution 32");
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_NE(both.err.find(" 2 components,"), std::string::npos) << both.err;
  TriangleMesh whole = readMesh(dir.file("both.ply"));
  long count = 0;
  std::vector<int> labels = triangleComponents(whole, &count);
  ASSERT_EQ(count, 2);
  long sizes[2] = {0, 0};
  for (int label : labels) ++sizes[label];
  long threshold = std::min(sizes[0], sizes[1]) + 1;
  ASSERT_LT(threshold, std::max(sizes[0], sizes[1]));
  std::string minimum = std::to_string(threshold);
  CommandResult one = runCommand(tool() + " " + function + " " + dir.file("one.ply") +
                                 " --resolution 32 --min-component " + minimum);
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.err.find(" 1 component (1 dropped below " + minimum + " triangles),"), std::string::npos)
      << one.err;
  TriangleMesh mesh = readMesh(dir.file("one.ply"));
  long components = 0;
  triangleComponents(mesh, &components);
  EXPECT_EQ(components, 1);
  EXPECT_EQ(mesh.triangleCount(), std::max(sizes[0], sizes[1]));
  EXPECT_TRUE(analyzeTopology(mesh).watertight());
}

// A sphere and, apart from it, a small bump at (3, 3, 3) with no data
// markers on it: two components.
TEST(MeshTool, FullBoxComponentsCountsDetachedSheets) {
  TempDir dir;
  auto function = test::sphereFunction(2.0f, 5.0f, 4.0f);
  function->addLevel({test::constantRecord(3.0f, 3.0f, 3.0f, 0.8f, 2.0f, 1)});
  std::string detached = dir.file("detached.fn");
  writeFunctionFile(*function, detached, nullptr);
  EXPECT_EQ(test::fullBoxComponents(detached, 32), 2);
  EXPECT_EQ(test::fullBoxComponents(writeSphere(dir), 32), 1);
}

// Both tools, binary and ASCII PLY: the property reads back as each written
// vertex's distance to the nearest input point, and the summary line's
// largest distance is the largest of them.
TEST(MeshTool, QualityIsEachVertexsDistanceToTheNearestInputPoint) {
  TempDir dir;
  std::string function = test::fitUnitSphere(dir, 300, 4);
  std::string input = dir.file("sphere.xyz");
  std::vector<float> points;
  {
    std::istringstream lines(test::readFile(input));
    double x, y, z, nx, ny, nz;
    while (lines >> x >> y >> z >> nx >> ny >> nz) points.insert(points.end(), {float(x), float(y), float(z)});
  }
  const std::string commands[] = {
      tool() + " " + function + " " + dir.file("a.ply") + " --like " + input + " --quality",
      tool() + " " + function + " " + dir.file("b.ply") + " --like " + input + " --quality --ascii",
      test::executable("wendfit") + " " + input + " " + dir.file("c.fn") + " 4 --mesh " + dir.file("c.ply") +
          " --quality",
      // Taken as exact, its distances come from the index that the sign
      // guard built over the same points.
      test::executable("wendfit-reconstruct") + " " + input + " " + dir.file("e.ply") + " --quality --noise 0"};
  const char* meshes[] = {"a.ply", "b.ply", "c.ply", "e.ply"};
  for (int c = 0; c < 4; ++c) {
    CommandResult run = runCommand(commands[c]);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<VertexProperty> properties;
    TriangleMesh mesh = readMesh(dir.file(meshes[c]), &properties);
    ASSERT_EQ(properties.size(), 1u);
    ASSERT_EQ(properties[0].name, "quality");
    const std::vector<float>& quality = properties[0].values;
    ASSERT_GT(mesh.vertexCount(), 100);
    ASSERT_EQ(static_cast<long>(quality.size()), mesh.vertexCount());
    float largest = 0.0f;
    for (long v = 0; v < mesh.vertexCount(); ++v) {
      ASSERT_GE(quality[v], 0.0f);
      largest = std::max(largest, quality[v]);
      if (v % 37 != 0) continue;
      double nearestSq = 1e30;
      for (size_t p = 0; p < points.size(); p += 3) {
        double sq = 0.0;
        for (int k = 0; k < 3; ++k) sq += std::pow(double{mesh.positions[3 * v + k]} - points[p + k], 2);
        nearestSq = std::min(nearestSq, sq);
      }
      EXPECT_NEAR(quality[v], std::sqrt(nearestSq), 1e-5) << meshes[c] << " vertex " << v;
    }
    // "... sample spacings (LARGEST)", or "from the data LARGEST (...)" from
    // wendfit-reconstruct.
    const std::string marker = c == 3 ? "from the data " : " sample spacings (";
    const size_t at = run.err.find(marker);
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_NEAR(std::strtod(run.err.c_str() + at + marker.size(), nullptr), largest, 0.005 * largest) << run.err;
  }
  CommandResult plain = runCommand(tool() + " " + function + " " + dir.file("d.ply"));
  EXPECT_EQ(plain.err.find("from the data"), std::string::npos) << "no input, no distance";
}

TEST(MeshTool, UsageErrorsExitWithTwo) {
  TempDir dir;
  std::string function = writeSphere(dir);
  std::string out = dir.file("m.ply");
  struct Case {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"", "expected FUNCTION_FILE and MESH_FILE"},
      {function, "expected FUNCTION_FILE and MESH_FILE"},
      {function + " " + out + " --bogus", "unknown option --bogus"},
      {function + " " + out + " --resolution", "--resolution needs a value"},
      {function + " " + out + " --resolution 0", "--resolution: \"0\" is not a whole number in 1 ... 65536"},
      {function + " " + out + " --resolution 12x", "is not a whole number"},
      {function + " " + out + " --min-component -1", "--min-component: \"-1\""},
      {function + " " + out + " --scale 0", "--scale: \"0\" is not a positive number"},
      {function + " " + out + " --scale 2 --like x.pts", "give --like or --scale, not both"},
      {function + " " + dir.file("m.vrml"), "unknown mesh format"},
      {function + " " + out + " --quality", "--quality needs the input points: --like INPUT"},
      {function + " " + dir.file("m.obj") + " --quality --like x.xyz", "--quality needs a .ply mesh"},
  };
  for (const Case& c : cases) {
    CommandResult run = runCommand(tool() + " " + c.arguments);
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_EQ(run.err.rfind("wendfit-mesh: error: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find("usage: wendfit-mesh FUNCTION_FILE MESH_FILE"), std::string::npos);
  }
  EXPECT_FALSE(test::fileExists(out));
  CommandResult version = runCommand(tool() + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("wendfit-mesh ", 0), 0u);
  CommandResult help = runCommand(tool() + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Box rule:"), std::string::npos);
  EXPECT_NE(help.out.find("--full-box"), std::string::npos);
  EXPECT_NE(help.out.find("result file's"), std::string::npos);
}

TEST(MeshTool, UnreadableInputsAndUnwritableOutputsExitWithOne) {
  TempDir dir;
  std::string function = writeSphere(dir);
  std::string missing = dir.file("missing.fn");
  CommandResult run = runCommand(tool() + " " + missing + " " + dir.file("m.ply"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("wendfit-mesh: error: " + missing + ": ", 0), 0u) << run.err;

  test::writeFile(dir.file("bad.fn"), "0 0 0\n1 1 1\n2\n0\n");
  run = runCommand(tool() + " " + dir.file("bad.fn") + " " + dir.file("m.ply"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("wendfit-mesh: error: " + dir.file("bad.fn") + ":", 0), 0u) << run.err;

  std::string unwritable = dir.file("no/such/dir/m.ply");
  run = runCommand(tool() + " " + function + " " + unwritable + " --resolution 8");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("wendfit-mesh: error: " + unwritable + ": ", 0), 0u) << run.err;

  run = runCommand(tool() + " " + function + " " + dir.file("m.ply") + " --like " + missing);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("wendfit-mesh: error: " + missing, 0), 0u) << run.err;
  EXPECT_FALSE(test::fileExists(dir.file("m.ply")));
}

// A fitted sphere is positive inside; the help promises triangles that face
// away from the object, and --quiet drops the summary line.
TEST(MeshTool, TrianglesOfAFittedSphereFaceAwayFromItsCentre) {
  TempDir dir;
  const std::string function = test::fitUnitSphere(dir, 400, 5);
  CommandResult run = runCommand(tool() + " --quiet " + function + " " + dir.file("s.ply"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(test::readFile(dir.file("s.ply")).find("\ncomment written by wendfit-mesh\n"), std::string::npos);
  TriangleMesh mesh = readMesh(dir.file("s.ply"));
  ASSERT_GT(mesh.triangleCount(), 100);
  long inward = 0;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    const float* p[3];
    for (int k = 0; k < 3; ++k) p[k] = &mesh.positions[3 * mesh.triangles[3 * t + k]];
    double e1[3], e2[3], centroid[3];
    for (int a = 0; a < 3; ++a) {
      e1[a] = p[1][a] - p[0][a];
      e2[a] = p[2][a] - p[0][a];
      centroid[a] = (p[0][a] + p[1][a] + p[2][a]) / 3.0;
    }
    const double normal[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                              e1[0] * e2[1] - e1[1] * e2[0]};
    if (normal[0] * centroid[0] + normal[1] * centroid[1] + normal[2] * centroid[2] <= 0.0) ++inward;
  }
  EXPECT_EQ(inward, 0) << "of " << mesh.triangleCount() << " triangles";
}

}  // namespace
}  // namespace wendfit
