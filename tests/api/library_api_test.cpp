// The public API end to end: a fit through the library is the tool's fit,
// its mesh is the sphere it was fitted to, and evaluation at many points is
// independent of threads and of the fields asked for.

#include <wendfit/wendfit.h>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "mesh/mesh_topology.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::TempDir;

TEST(LibraryApi, FitEqualsToolAndExtractsTheSphere) {
  TempDir dir;
  const std::string toolResult = test::fitUnitSphere(dir, 1500, 6);
  FitOptions options;
  options.levels = 6;
  FitResult result = fit(readPoints(dir.file("sphere.xyz")), options);
  EXPECT_EQ(result.scale, 10.0f);
  ASSERT_EQ(result.levels.size(), 6u);
  for (const LevelReport& level : result.levels) {
    EXPECT_GT(level.centres, 0);
    EXPECT_EQ(level.fitted, level.centres) << "threshold 0 fits every centre";
  }
  writeFunction(result.function, dir.file("api.fn"));
  EXPECT_EQ(test::readFile(dir.file("api.fn")), test::readFile(toolResult));
  EXPECT_EQ(readFunction(toolResult).basisFunctionCount(), result.function.basisFunctionCount());

  ExtractOptions extraction;
  extraction.inputScale = result.scale;
  extraction.normals = true;
  const TriangleMesh mesh = extract(result.function, extraction);
  ASSERT_GT(mesh.triangleCount(), 100);
  // In the input's coordinates the zero set is the unit sphere; six levels
  // over 1,500 points place it within a small fraction of the radius.
  double worst = 0.0;
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const float* p = &mesh.positions[3 * v];
    const float* n = &mesh.normals[3 * v];
    worst = std::max(worst, std::abs(std::sqrt(double(p[0]) * p[0] + double(p[1]) * p[1] + double(p[2]) * p[2]) - 1.0));
    EXPECT_GT(p[0] * n[0] + p[1] * n[1] + p[2] * n[2], 0.0f) << "normals point outside, vertex " << v;
  }
  EXPECT_LT(worst, 0.02);
  const MeshTopology topology = analyzeTopology(mesh);
  EXPECT_EQ(topology.eulerCharacteristic, 2);
  EXPECT_EQ(topology.boundaryEdges, 0);

  writeTriangleMesh(mesh, dir.file("sphere.ply"));
  const TriangleMesh back = readTriangleMesh(dir.file("sphere.ply"));
  EXPECT_EQ(back.positions, mesh.positions);
  EXPECT_EQ(back.normals, mesh.normals);
  EXPECT_EQ(back.triangles, mesh.triangles);
}

// Fits dir's sphere.xyz with wendfit OPTION to tool.fn.
void fitSphereWithTool(const TempDir& dir, const std::string& option, int levels) {
  const test::CommandResult tool =
      test::runCommand(test::executable("wendfit") + " " + option + " " + dir.file("sphere.xyz") + " " +
                       dir.file("tool.fn") + " " + std::to_string(levels));
  ASSERT_EQ(tool.status, 0) << tool.err;
}

// The command line's --sign-guard without REGULARIZATION is the library's
// guard with regularization 1 and the two finest levels plain.
TEST(LibraryApi, GuardedFitEqualsTheToolsDefaultSmoothing) {
  TempDir dir;
  test::fitUnitSphere(dir, 1500, 5);
  ASSERT_NO_FATAL_FAILURE(fitSphereWithTool(dir, "--sign-guard", 5));
  FitOptions options;
  options.levels = 5;
  options.signGuard = true;
  options.regularization = 1.0;
  options.plainFinestLevels = 2;
  writeFunction(fit(readPoints(dir.file("sphere.xyz")), options).function, dir.file("api.fn"));
  EXPECT_EQ(test::readFile(dir.file("api.fn")), test::readFile(dir.file("tool.fn")));
  options.plainFinestLevels = 0;
  writeFunction(fit(readPoints(dir.file("sphere.xyz")), options).function, dir.file("all.fn"));
  EXPECT_NE(test::readFile(dir.file("all.fn")), test::readFile(dir.file("tool.fn")));
}

TEST(LibraryApi, SparseCentresAreTheToolsAndFewer) {
  TempDir dir;
  const std::string dense = test::fitUnitSphere(dir, 4000, 6);
  ASSERT_NO_FATAL_FAILURE(fitSphereWithTool(dir, "--sparse-centres", 6));
  FitOptions options;
  options.levels = 6;
  options.sparseCentres = true;
  const FitResult result = fit(readPoints(dir.file("sphere.xyz")), options);
  writeFunction(result.function, dir.file("api.fn"));
  EXPECT_EQ(test::readFile(dir.file("api.fn")), test::readFile(dir.file("tool.fn")));
  EXPECT_LT(result.function.basisFunctionCount(), 0.85 * readFunction(dense).basisFunctionCount());
}

TEST(LibraryApi, EvaluationIsIndependentOfThreadsAndFields) {
  TempDir dir;
  const Function function = readFunction(test::fitUnitSphere(dir, 400, 4));
  std::vector<float> xyz;
  // A lattice through the box and beyond it (outside: offset, zero gradient).
  for (int i = 0; i < 9 * 9 * 9; ++i) {
    xyz.push_back(-16.0f + 4.0f * (i % 9));
    xyz.push_back(-16.0f + 4.0f * (i / 9 % 9));
    xyz.push_back(-16.0f + 4.0f * (i / 81));
  }
  EvaluationOptions all;
  all.curvatures = true;
  all.threads = 1;
  const Evaluation one = evaluate(function, xyz, all);
  all.threads = 2;
  const Evaluation two = evaluate(function, xyz, all);
  EXPECT_EQ(one.values, two.values);
  EXPECT_EQ(one.gradients, two.gradients);
  EXPECT_EQ(one.mean, two.mean);
  EXPECT_EQ(one.gaussian, two.gaussian);
  EvaluationOptions valuesOnly;
  valuesOnly.gradients = false;
  const Evaluation plain = evaluate(function, xyz, valuesOnly);
  EXPECT_TRUE(plain.gradients.empty() && plain.mean.empty());
  EXPECT_EQ(plain.values, one.values);
  for (size_t i = 0; i < one.values.size(); ++i) {
    EXPECT_EQ(one.values[i], function.value(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2])) << i;
  }
  // The same points in the input's coordinates (the unit sphere's scale 10).
  std::vector<float> input = xyz;
  for (float& c : input) c /= 10.0f;
  EvaluationOptions scaled = valuesOnly;
  scaled.inputScale = 10.0;
  EXPECT_EQ(evaluate(function, input, scaled).values, plain.values);
}

TEST(LibraryApi, ReadPointsGivesOutwardNormalsInEveryFormat) {
  // The tool's own point file stores normals pointing into the object, XYZ
  // outward; both read as outward normals, which fit() expects.
  TempDir dir;
  test::writeFile(dir.file("two.pts"), "2\n1 0 0\n0 2 0\n-1 0 0\n0 -1 0\n");
  test::writeFile(dir.file("two.xyz"), "1 0 0 1 0 0\n0 2 0 0 1 0\n");
  for (const char* name : {"two.pts", "two.xyz"}) {
    const OrientedPoints points = readPoints(dir.file(name));
    ASSERT_EQ(points.count(), 2) << name;
    EXPECT_EQ(points.positions, (std::vector<float>{1, 0, 0, 0, 2, 0})) << name;
    EXPECT_EQ(points.normals, (std::vector<float>{1, 0, 0, 0, 1, 0})) << name;
  }
  EXPECT_THROW(readPoints(dir.file("missing.xyz")), Error);
}

TEST(LibraryApi, BadArgumentsAreErrors) {
  OrientedPoints points;
  points.positions = {0, 0, 0, 1, 0, 0};
  points.normals = {1, 0, 0};
  FitOptions options;
  EXPECT_THROW(fit(points, options), Error) << "mismatched arrays";
  points.normals = {0, 0, 0, 0, 0, 0};
  EXPECT_THROW(fit(points, options), Error) << "no normal";
  points.normals = {1, 0, 0, std::numeric_limits<float>::quiet_NaN(), 0, 0};
  EXPECT_THROW(fit(points, options), Error) << "NaN normal";
  points.normals = {1, 0, 0, 1, 0, 0};
  options.levels = maxLevels() + 1;
  EXPECT_THROW(fit(points, options), Error) << "too many levels";
  options.levels = 2;
  options.plainFinestLevels = -1;
  EXPECT_THROW(fit(points, options), Error) << "negative plain levels";
  options.plainFinestLevels = 0;
  options.levels = 2;
  points.positions = {1, 1, 1, 1, 1, 1};
  EXPECT_THROW(fit(points, options), Error) << "coincident points";

  Function empty;
  EXPECT_THROW(evaluate(empty, {0, 0, 0}), Error);
  EXPECT_THROW(extract(empty), Error);
  TempDir dir;
  Function function = readFunction(test::fitUnitSphere(dir, 100, 2));
  EXPECT_THROW(evaluate(function, {0, 0}), Error) << "not a multiple of 3";
  Function moved = std::move(function);
  EXPECT_TRUE(function.empty());  // NOLINT(bugprone-use-after-move): moved-from state is documented
  EXPECT_GT(moved.basisFunctionCount(), 0);
}

}  // namespace
}  // namespace wendfit
