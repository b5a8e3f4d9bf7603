// Per-vertex curvature (--curvature) of wendfit-mesh and wendfit --mesh,
// read back from the PLY file and compared with closed forms.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "io/function_file_writer.h"
#include "support/hand_made_functions.h"
#include "io/mesh_data.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::runCommand;
using test::TempDir;

// The mesh at `path` with its four curvature properties, in written order.
TriangleMesh readCurvatures(const std::string& path, std::vector<VertexProperty>& properties) {
  TriangleMesh mesh = readMesh(path, &properties);
  EXPECT_EQ(properties.size(), 4u);
  const char* names[] = {"mean_curvature", "gaussian_curvature", "k1", "k2"};
  for (size_t k = 0; k < std::min<size_t>(4, properties.size()); ++k) {
    EXPECT_EQ(properties[k].name, names[k]);
    EXPECT_EQ(static_cast<long>(properties[k].values.size()), mesh.vertexCount());
  }
  return mesh;
}

// The average of `values`, and the median and 90th percentile of
// |value - truth| / scale over all vertices.
struct Spread {
  double average = 0.0;
  double median;
  double ninetieth;
};

Spread spread(const std::vector<float>& values, const std::vector<double>& truth, double scale) {
  Spread s;
  std::vector<double> errors;
  for (size_t v = 0; v < values.size(); ++v) {
    s.average += values[v] / static_cast<double>(values.size());
    errors.push_back(std::fabs(values[v] - truth[v]) / scale);
  }
  std::sort(errors.begin(), errors.end());
  s.median = errors[errors.size() / 2];
  s.ninetieth = errors[errors.size() * 9 / 10];
  return s;
}

TEST(VertexCurvature, RadialBumpCurvesLikeTheSphereThroughEachVertex) {
  // One radial record: every level set is a sphere about the origin, so the
  // exact curvature at a vertex is 1/|vertex|, whatever the grid.
  TempDir dir;
  std::string function = dir.file("sphere.fn");
  writeFunctionFile(*test::sphereFunction(2.0f, 5.0f, 4.0f), function, nullptr);
  // Written in coordinates divided by 4 and with the triangles reversed.
  for (const std::string options : {"", " --scale 4", " --flip"}) {
    const std::string mesh = dir.file("s.ply");
    CommandResult run = runCommand(test::executable("wendfit-mesh") + " " + function + " " + mesh +
                                   " --curvature --resolution 24" + options);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<VertexProperty> p;
    TriangleMesh read = readCurvatures(mesh, p);
    ASSERT_EQ(p.size(), 4u);
    ASSERT_GT(read.vertexCount(), 100) << run.err;
    // Outward normals: bending away from them is positive.
    const double sign = options == " --flip" ? -1.0 : 1.0;
    for (long v = 0; v < read.vertexCount(); ++v) {
      const float* x = &read.positions[3 * v];
      const double k = sign / std::sqrt(double{x[0]} * x[0] + double{x[1]} * x[1] + double{x[2]} * x[2]);
      EXPECT_NEAR(p[0].values[v], k, 1e-5 * std::fabs(k)) << options << " " << v;
      EXPECT_NEAR(p[1].values[v], k * k, 1e-5 * k * k) << options << " " << v;
      EXPECT_NEAR(p[2].values[v], k, 1e-5 * std::fabs(k)) << options << " " << v;
      EXPECT_NEAR(p[3].values[v], k, 1e-5 * std::fabs(k)) << options << " " << v;
    }
  }
  CommandResult obj = runCommand(test::executable("wendfit-mesh") + " " + function + " " + dir.file("s.obj") +
                                 " --curvature");
  EXPECT_EQ(obj.status, 2);
  EXPECT_NE(obj.err.find("--curvature needs a .ply mesh"), std::string::npos) << obj.err;
}

// Points on a torus about the z axis (ring radius `ring`, tube radius
// `tube`) with outward normals, as .xyz lines, about `count` of them spread
// evenly over its area.
std::string torusXyz(int count, double ring, double tube) {
  const double pi = 3.14159265358979323846;
  const int rings = static_cast<int>(std::lround(std::sqrt(count * tube / ring)));
  std::string text;
  char line[200];
  for (int j = 0; j < rings; ++j) {
    const double v = 2 * pi * (j + 0.5) / rings;
    const int around = static_cast<int>(std::lround(count * (ring + tube * std::cos(v)) / (ring * rings)));
    for (int i = 0; i < around; ++i) {
      const double u = 2 * pi * (i + 0.5 * (j % 2)) / around;
      const double n[3] = {std::cos(v) * std::cos(u), std::cos(v) * std::sin(u), std::sin(v)};
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g %.9g %.9g %.9g\n", ring * std::cos(u) + tube * n[0],
                    ring * std::sin(u) + tube * n[1], tube * n[2], n[0], n[1], n[2]);
      text += line;
    }
  }
  return text;
}

// The fitted function's own curvature, at the vertices of its mesh at the
// default resolution. The fit ripples slightly at the scale of its finest
// basis functions, and curvature magnifies that: the averages are within
// 1 %, single vertices scatter by a few per cent.
TEST(VertexCurvature, FittedSphereAndTorusFollowTheirClosedForms) {
  TempDir dir;
  // A sphere of radius 10 in the result file's coordinates.
  const std::string sphere = test::fitUnitSphere(dir, 2000, 6);
  CommandResult run = runCommand(test::executable("wendfit-mesh") + " " + sphere + " " + dir.file("sphere.ply") +
                                 " --curvature");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<VertexProperty> p;
  TriangleMesh mesh = readCurvatures(dir.file("sphere.ply"), p);
  ASSERT_EQ(p.size(), 4u);
  ASSERT_GT(mesh.vertexCount(), 500);
  for (int k = 0; k < 4; ++k) {
    const double truth = k == 1 ? 0.01 : 0.1;
    const Spread s = spread(p[k].values, std::vector<double>(mesh.vertexCount(), truth), truth);
    // k1 and k2, the larger and smaller of two scattered values, drift
    // apart on average; their mean and product do not.
    if (k < 2) {
      EXPECT_NEAR(s.average, truth, 0.01 * truth) << p[k].name;
    }
    EXPECT_LT(s.median, k == 1 ? 0.05 : 0.03) << p[k].name;
    EXPECT_LT(s.ninetieth, k == 1 ? 0.14 : 0.08) << p[k].name;
  }

  // A torus with ring radius 1 and tube radius 0.4, fitted and meshed in one
  // run, the mesh in the input's coordinates. At angle v around the tube
  // (cos v = 1 outermost) the principal curvatures are 1/0.4 across the
  // tube and cos v / (1 + 0.4 cos v) along the ring.
  const double ring = 1.0, tube = 0.4;
  test::writeFile(dir.file("torus.xyz"), torusXyz(4000, ring, tube));
  run = runCommand("timeout 120 " + test::executable("wendfit") + " " + dir.file("torus.xyz") + " " +
                   dir.file("torus.fn") + " 6 --mesh " + dir.file("torus.ply") + " --curvature");
  ASSERT_EQ(run.status, 0) << run.err;
  mesh = readCurvatures(dir.file("torus.ply"), p);
  ASSERT_EQ(p.size(), 4u);
  ASSERT_GT(mesh.vertexCount(), 1000);
  std::vector<double> across, along, mean, gaussian;
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const float* x = &mesh.positions[3 * v];
    const double fromRing = std::hypot(double{x[0]}, double{x[1]}) - ring;
    const double cosV = fromRing / std::hypot(fromRing, double{x[2]});
    across.push_back(1.0 / tube);
    along.push_back(cosV / (ring + tube * cosV));
    mean.push_back(0.5 * (across.back() + along.back()));
    gaussian.push_back(across.back() * along.back());
  }
  // Errors relative to the largest curvature, 1/0.4 (the Gaussian
  // curvature passes through 0 on the top and bottom circles); the medians
  // measure 0.56 to 0.83 %.
  const std::vector<std::vector<double>> truth = {mean, gaussian, across, along};
  for (int k = 0; k < 4; ++k) {
    const Spread s = spread(p[k].values, truth[k], k == 1 ? 1.0 / (tube * tube) : 1.0 / tube);
    EXPECT_LT(s.median, 0.01) << p[k].name;
    EXPECT_LT(s.ninetieth, 0.04) << p[k].name;
  }
}

}  // namespace
}  // namespace wendfit
