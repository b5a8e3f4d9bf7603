#include "mesh/surface_extractor.h"
#include "mesh/triangle_crossings.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <set>
#include <tuple>

#include "core/error.h"
#include "io/function_file_reader.h"
#include "support/error_checks.h"
#include "support/hand_made_functions.h"
#include "support/test_support.h"
#include "mesh/mesh_topology.h"
#include "mesh/surface_blocks.h"
#include "mesh/surface_grid.h"

namespace wendfit {
namespace {

using test::constantRecord;
using test::emptyFunction;
using test::ringFunction;
using test::sphereFunction;

ExtractionOptions withResolution(int resolution) {
  ExtractionOptions options;
  options.resolution = resolution;
  return options;
}

double length(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Unnormalised normal of triangle t and its centroid.
void triangleFrame(const TriangleMesh& mesh, long t, double normal[3], double centroid[3]) {
  const float* p[3];
  for (int k = 0; k < 3; ++k) p[k] = &mesh.positions[3 * mesh.triangles[3 * t + k]];
  double u[3], w[3];
  for (int a = 0; a < 3; ++a) {
    u[a] = double{p[1][a]} - p[0][a];
    w[a] = double{p[2][a]} - p[0][a];
    centroid[a] = (double{p[0][a]} + p[1][a] + p[2][a]) / 3.0;
  }
  normal[0] = u[1] * w[2] - u[2] * w[1];
  normal[1] = u[2] * w[0] - u[0] * w[2];
  normal[2] = u[0] * w[1] - u[1] * w[0];
}

void expectClosedManifold(const TriangleMesh& mesh, long components, long euler) {
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_TRUE(topology.watertight()) << topology.boundaryEdges << " boundary, " << topology.nonManifoldEdges
                                     << " non-manifold edges";
  EXPECT_TRUE(topology.manifold()) << topology.nonManifoldVertices << " non-manifold vertices, "
                                   << topology.degenerateTriangles << " degenerate triangles";
  EXPECT_TRUE(topology.oriented()) << topology.misorientedEdges << " misoriented edges";
  EXPECT_EQ(topology.components, components);
  EXPECT_EQ(topology.eulerCharacteristic, euler);
  EXPECT_EQ(topology.vertices, mesh.vertexCount()) << "every vertex is used";
}

// Every vertex within `tolerance` of the sphere of `radius` about the
// origin, its normal (the mesh has normals) within acos(leastCosine) of the
// outward radial direction.
void expectVerticesOnSphere(const TriangleMesh& mesh, double radius, double tolerance, double leastCosine) {
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const double p[3] = {mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]};
    EXPECT_NEAR(length(p), radius, tolerance) << "vertex " << v;
    const float* n = &mesh.normals[3 * v];
    EXPECT_GT((p[0] * n[0] + p[1] * n[1] + p[2] * n[2]) / length(p), leastCosine)
        << "vertex normal " << v << " points outward";
  }
}

// The mesh, with normals, of a sphere of radius 2 on a grid of `resolution`
// cells across its box.
TriangleMesh sphereMesh(int resolution, ExtractionStats& stats) {
  auto function = sphereFunction(2.0f, 5.0f, 4.0f);
  ExtractionOptions options = withResolution(resolution);
  options.normals = true;
  return extractSurface(*function, options, &stats);
}

TEST(SurfaceExtractor, SphereIsClosedOnTheSurfaceAndFacesOutward) {
  const float radius = 2.0f;
  ExtractionStats stats;
  TriangleMesh mesh = sphereMesh(24, stats);
  ASSERT_GT(mesh.triangleCount(), 100);
  expectClosedManifold(mesh, 1, 2);
  EXPECT_TRUE(stats.outsideNegative);
  expectVerticesOnSphere(mesh, radius, 1e-4 * radius, 0.999);
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    double normal[3], centroid[3];
    triangleFrame(mesh, t, normal, centroid);
    EXPECT_GT(normal[0] * centroid[0] + normal[1] * centroid[1] + normal[2] * centroid[2], 0.0)
        << "triangle " << t << " faces outward";
  }
  std::set<std::tuple<float, float, float>> distinct;
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    distinct.emplace(mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]);
  }
  EXPECT_EQ(static_cast<long>(distinct.size()), mesh.vertexCount()) << "no duplicated vertices";
}

// On a coarse grid the flat faces between surface vertices cut inside a
// sphere of two cells' radius by up to a tenth of a cell; the curved edges
// and faces are split until every face's centre and edge middle lies within
// the tolerance, and the mesh stays a closed sphere.
TEST(SurfaceExtractor, FacesFollowACurvedSurfaceBetweenTheirVertices) {
  const float radius = 2.0f;
  ExtractionStats stats;
  TriangleMesh mesh = sphereMesh(8, stats);
  expectClosedManifold(mesh, 1, 2);
  EXPECT_GT(stats.splitEdges, 0);
  // The added vertices lie on the sphere too, with outward normals.
  expectVerticesOnSphere(mesh, radius, 0.04 * stats.cellSize, 0.99);
  double worst = 0.0;
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    const float* p[3];
    for (int k = 0; k < 3; ++k) p[k] = &mesh.positions[3 * mesh.triangles[3 * t + k]];
    double centre[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      double middle[3];
      for (int a = 0; a < 3; ++a) {
        middle[a] = 0.5 * (double{p[k][a]} + p[(k + 1) % 3][a]);
        centre[a] += double{p[k][a]} / 3.0;
      }
      worst = std::max(worst, radius - length(middle));
    }
    worst = std::max(worst, radius - length(centre));
  }
  EXPECT_LT(worst, 0.06 * stats.cellSize) << "deepest cut " << worst / stats.cellSize << " cells";
  // Bulges below the data's noise are the noise's: left as they are.
  ExtractionOptions noisy = withResolution(8);
  noisy.noise = 0.2 * stats.cellSize;
  ExtractionStats noisyStats;
  extractSurface(*sphereFunction(radius, 5.0f, 4.0f), noisy, &noisyStats);
  EXPECT_EQ(noisyStats.splitEdges, 0);
}

TEST(SurfaceExtractor, OutsideFollowsTheSignOnTheBox) {
  // Negating the function turns inside out: the box is now positive, so the
  // triangles must still face away from the centre.
  auto function = emptyFunction(-4.0f, 4.0f, static_cast<float>(test::radialWeight(0.4)));
  function->addLevel({constantRecord(0, 0, 0, 5.0f, -1.0f, 1)});
  const float origin[3] = {0, 0, 0};
  test::markZeroSet(*function, origin, 4.0f, 2.0f, 2);
  ExtractionStats stats;
  TriangleMesh mesh = extractSurface(*function, withResolution(16), &stats);
  EXPECT_FALSE(stats.outsideNegative);
  expectClosedManifold(mesh, 1, 2);
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    double normal[3], centroid[3];
    triangleFrame(mesh, t, normal, centroid);
    EXPECT_GT(normal[0] * centroid[0] + normal[1] * centroid[1] + normal[2] * centroid[2], 0.0);
  }
}

TEST(SurfaceExtractor, RingGivesATorusOfGenusOne) {
  auto function = ringFunction(24, 3.0f, 1.5f, 1.5f, 5.0f);
  TriangleMesh mesh = extractSurface(*function, withResolution(48));
  expectClosedManifold(mesh, 1, 0);
}

TEST(SurfaceExtractor, FlipReversesTrianglesAndNormalsOnly) {
  auto function = ringFunction(24, 3.0f, 1.5f, 1.5f, 5.0f);
  ExtractionOptions options = withResolution(32);
  options.normals = true;
  TriangleMesh plain = extractSurface(*function, options);
  options.flip = true;
  TriangleMesh flipped = extractSurface(*function, options);
  EXPECT_EQ(plain.positions, flipped.positions);
  ASSERT_EQ(plain.normals.size(), flipped.normals.size());
  for (size_t i = 0; i < plain.normals.size(); ++i) EXPECT_EQ(flipped.normals[i], -plain.normals[i]);
  ASSERT_EQ(plain.triangles.size(), flipped.triangles.size());
  for (size_t t = 0; t < plain.triangles.size(); t += 3) {
    EXPECT_EQ(flipped.triangles[t], plain.triangles[t]);
    EXPECT_EQ(flipped.triangles[t + 1], plain.triangles[t + 2]);
    EXPECT_EQ(flipped.triangles[t + 2], plain.triangles[t + 1]);
  }
}

TEST(SurfaceExtractor, APointAnotherThreadIsEvaluatingIsComputedAgainNotAwaited) {
  // Block 0 needs the grid point on its upper x face, which belongs to block
  // 1; here block 1's thread has taken it and not finished (it may sit in a
  // batch of hundreds, or be descheduled). Block 0 must not wait for it: it
  // gets the same value from its own evaluation, leaving the slot alone.
  auto function = sphereFunction(2.0f, 3.0f, 5.0f);
  const SurfaceGrid grid = SurfaceGrid::overBox(function->boxMin(), function->boxMax(), 40);
  const mesh_detail::Context ctx{*function, grid, false, 0.01, false, false};
  mesh_detail::BlockCache first(grid, grid.blockKey(0, 0, 0)), second(grid, grid.blockKey(1, 0, 0));
  first.owners[1] = &second;
  const int local[3] = {kBlockCells, 5, 7};  // block 1's point (0, 5, 7)
  const int index = (local[2] * mesh_detail::kSide + local[1]) * mesh_detail::kSide + 0;
  second.state[index].store(1);
  float p[3];
  grid.point(first.base[0] + local[0] - 1, first.base[1] + local[1] - 1, first.base[2] + local[2] - 1, p);
  const float value = first.value(ctx, local[0], local[1], local[2]);
  EXPECT_EQ(value, function->plainValue(p[0], p[1], p[2]));
  EXPECT_EQ(second.state[index].load(), 1);
  EXPECT_EQ(first.evaluations + second.evaluations, 0);
}

TEST(SurfaceExtractor, MeshIsTheSameForOneAndTwoThreads) {
  auto function = ringFunction(24, 3.0f, 1.5f, 1.5f, 5.0f);
  ExtractionOptions options = withResolution(40);
  options.normals = true;
  int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  TriangleMesh one = extractSurface(*function, options);
  omp_set_num_threads(2);
  TriangleMesh two = extractSurface(*function, options);
  options.fullBox = true;
  TriangleMesh fullTwo = extractSurface(*function, options);
  omp_set_num_threads(1);
  TriangleMesh fullOne = extractSurface(*function, options);
  omp_set_num_threads(saved);
  ASSERT_GT(one.triangleCount(), 0);
  EXPECT_EQ(one.positions, two.positions);
  EXPECT_EQ(one.normals, two.normals);
  EXPECT_EQ(one.triangles, two.triangles);
  EXPECT_EQ(fullOne.positions, fullTwo.positions);
  EXPECT_EQ(fullOne.triangles, fullTwo.triangles);
  // Tracing from the data finds the whole torus that the full box finds.
  EXPECT_EQ(one.triangleCount(), fullOne.triangleCount());
}

TEST(SurfaceExtractor, SheetsAwayFromTheFinestDataNeedTheFullBox) {
  // A coarse sphere of radius 2 around the origin, and a finer bump around
  // (2.5, 2.5, 2.5) that lies outside it and is the only finest-level data.
  auto function = emptyFunction(-4.0f, 4.0f, static_cast<float>(-test::radialWeight(0.4)));
  function->addLevel({constantRecord(0, 0, 0, 5.0f, 1.0f, 1)});
  function->addLevel({constantRecord(2.5f, 2.5f, 2.5f, 1.0f, 2.0f, 2)});
  const float bump[3] = {2.5f, 2.5f, 2.5f};
  test::markZeroSet(*function, bump, 1.0f, 1.0f, 3);
  TriangleMesh band = extractSurface(*function, withResolution(32));
  ExtractionOptions options = withResolution(32);
  options.fullBox = true;
  TriangleMesh full = extractSurface(*function, options);
  expectClosedManifold(band, 1, 2);
  expectClosedManifold(full, 2, 4);
  for (long v = 0; v < band.vertexCount(); ++v) {
    double d[3];
    for (int a = 0; a < 3; ++a) d[a] = band.positions[3 * v + a] - 2.5;
    EXPECT_LT(length(d), 1.0) << "band vertices lie on the bump";
  }
}

TEST(SurfaceExtractor, ZeroSetReachingTheBoxIsClosedByItsFaces) {
  // x * w with a support wider than the box: the zero set is the plane
  // x = 0 across the whole box. The box's corners tie, so the outside is
  // non-negative and the negative half box must come out closed, its cut
  // by the plane and its other five sides on the box's faces.
  auto function = emptyFunction(-2.0f, 2.0f, 0.0f);
  BasisFunction record = constantRecord(0, 0, 0, 5.0f, 0.0f, 1);
  record.coeff[6] = 1.0f;
  function->addLevel({record});
  for (bool fullBox : {false, true}) {
    ExtractionOptions options = withResolution(12);
    options.fullBox = fullBox;
    TriangleMesh mesh = extractSurface(*function, options);
    expectClosedManifold(mesh, 1, 2);
    EXPECT_EQ(zeroAreaTriangles(mesh), 0);
    double area = 0.0;
    for (long t = 0; t < mesh.triangleCount(); ++t) {
      double normal[3], centroid[3];
      triangleFrame(mesh, t, normal, centroid);
      area += 0.5 * length(normal);
      EXPECT_LT(centroid[0], 1e-5) << "triangle " << t << " lies in the negative half";
    }
    EXPECT_NEAR(area, 16.0 + 16.0 + 4 * 8.0, 1e-3) << "the cut, the far face and four half faces";
  }
}

TEST(SurfaceExtractor, ExactZerosNeverSplitAVertex) {
  // A linear record x * w: exactly 0 on the plane x = 0 (which holds grid
  // points) and on everything beyond the support. The negative region is a
  // half ball; its boundary must come out closed.
  auto function = emptyFunction(-2.0f, 2.0f, 0.0f);
  BasisFunction record = constantRecord(0, 0, 0, 1.5f, 0.0f, 1);
  record.coeff[6] = 1.0f;
  function->addLevel({record});
  for (bool fullBox : {false, true}) {
    ExtractionOptions options = withResolution(16);
    options.fullBox = fullBox;
    TriangleMesh mesh = extractSurface(*function, options);
    ASSERT_GT(mesh.triangleCount(), 0);
    expectClosedManifold(mesh, 1, 2);
    for (float x : mesh.positions) EXPECT_TRUE(std::isfinite(x));
  }
}

TEST(SurfaceExtractor, RandomBumpsAlwaysGiveClosedOrientedManifolds) {
  // Overlapping bumps of both signs on a coarse grid: many faces with two
  // diagonal corner pairs and cells crossed by several sheets. Every support
  // lies inside the box and the offset is negative, so every sheet closes.
  for (unsigned seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> position(-2.0f, 2.0f), radius(0.4f, 1.5f), constant(-1.0f, 2.0f);
    auto function = emptyFunction(-4.0f, 4.0f, -0.3f);
    std::vector<BasisFunction> records;
    for (int i = 0; i < 12; ++i) {
      records.push_back(constantRecord(position(rng), position(rng), position(rng), radius(rng), constant(rng), 1));
    }
    function->addLevel(records);
    ExtractionOptions options = withResolution(10 + static_cast<int>(seed % 20));
    options.fullBox = true;
    TriangleMesh mesh = extractSurface(*function, options);
    MeshTopology topology = analyzeTopology(mesh);
    EXPECT_TRUE(topology.watertight()) << topology.boundaryEdges << " boundary, " << topology.nonManifoldEdges
                                       << " non-manifold edges";
    EXPECT_TRUE(topology.manifold()) << topology.nonManifoldVertices << " vertices, "
                                     << topology.degenerateTriangles << " degenerate";
    EXPECT_TRUE(topology.oriented());
    EXPECT_EQ(topology.eulerCharacteristic % 2, 0) << "closed orientable surfaces have even Euler characteristic";
  }
}

TEST(SurfaceExtractor, CentresOffTheSurfaceAreCarriedOntoIt) {
  // (x - 0.5) * w: the only centre lies half a unit from the zero set, as a
  // regularized fit's centres do; tracing must still find the whole surface.
  auto function = emptyFunction(-2.0f, 2.0f, 0.0f);
  BasisFunction record = constantRecord(0, 0, 0, 1.5f, -0.5f, 1);
  record.coeff[6] = 1.0f;
  function->addLevel({record});
  ExtractionOptions options = withResolution(24);
  ExtractionStats stats;
  TriangleMesh traced = extractSurface(*function, options, &stats);
  options.fullBox = true;
  TriangleMesh full = extractSurface(*function, options);
  expectClosedManifold(traced, 1, 2);
  EXPECT_EQ(traced.triangles, full.triangles);
  EXPECT_EQ(traced.positions, full.positions);
}

TEST(SurfaceExtractor, FunctionsWithoutSurfaceGiveEmptyMeshes) {
  auto empty = emptyFunction(-1.0f, 1.0f, 0.0f);
  ExtractionStats stats;
  EXPECT_EQ(extractSurface(*empty, ExtractionOptions{}, &stats).triangleCount(), 0);
  EXPECT_EQ(stats.resolution, 1);
  ExtractionOptions full = withResolution(8);
  full.fullBox = true;
  EXPECT_EQ(extractSurface(*empty, full).triangleCount(), 0);
  // A bump that never reaches zero.
  auto positive = emptyFunction(-1.0f, 1.0f, 1.0f);
  positive->addLevel({constantRecord(0, 0, 0, 0.5f, 1.0f, 1)});
  EXPECT_EQ(extractSurface(*positive, withResolution(8)).triangleCount(), 0);
}

TEST(SurfaceExtractor, RejectsResolutionsOutOfRange) {
  auto function = sphereFunction(1.0f, 2.0f, 2.0f);
  EXPECT_THROW(extractSurface(*function, withResolution(kMaxResolution + 1)), Error);
  EXPECT_THROW(extractSurface(*function, withResolution(-3)), Error);
  // The whole box is visited block by block: its grid stays coarser.
  ExtractionOptions full = withResolution(kMaxFullBoxResolution + 1);
  full.fullBox = true;
  EXPECT_NE(test::errorMessage([&] { extractSurface(*function, full); }).find("--full-box"), std::string::npos);
}

TEST(SurfaceExtractor, DefaultResolutionFollowsTheFinestRadius) {
  auto function = sphereFunction(1.0f, 2.0f, 2.0f);
  function->addLevel({constantRecord(0.5f, 0, 0, 0.25f, 0.0f, 3)});
  ExtractionStats stats;
  extractSurface(*function, ExtractionOptions{}, &stats);
  EXPECT_FLOAT_EQ(stats.finestRadius, 0.25f);
  EXPECT_EQ(stats.resolution, static_cast<int>(std::ceil(4.0 / (0.25 / kDefaultCellsPerRadius))));
  // Finer by cells per radius, coarser again by a least cell.
  ExtractionOptions finer;
  finer.cellsPerRadius = 4;
  extractSurface(*function, finer, &stats);
  EXPECT_EQ(stats.resolution, static_cast<int>(std::ceil(4.0 / (0.25 / 4))));
  finer.leastCell = 0.1;
  extractSurface(*function, finer, &stats);
  EXPECT_EQ(stats.resolution, 40);

  // An error threshold keeps a few finest records far apart over a dense
  // coarser level: their distance is no sample spacing, and the grid still
  // follows their radius (it once fell to 16 cells: 520 triangles for a
  // 100,000-point scan).
  auto ring = ringFunction(48, 2.0f, 1.0f, 0.5f, 4.0f);
  ring->addLevel({constantRecord(2.0f, 0, 0, 0.25f, 0.0f, 3), constantRecord(-2.0f, 0, 0, 0.25f, 0.0f, 3)});
  extractSurface(*ring, ExtractionOptions{}, &stats);
  EXPECT_EQ(stats.resolution, static_cast<int>(std::ceil(8.0 / (0.25 / kDefaultCellsPerRadius))));
}

TEST(SurfaceExtractor, DefaultGridStaysNearTheSampleSpacingWhenLevelsOutrunTheData) {
  // 400 points on a sphere of radius 10 lie about 1.8 apart; at 10 levels
  // the finest supports (radius 0.1) are far narrower, and a grid following
  // them gave hundreds of thousands of triangles for 400 points.
  test::TempDir dir;
  auto function = readFunctionFile(test::fitUnitSphere(dir, 400, 10));
  ExtractionStats stats;
  const TriangleMesh mesh = extractSurface(*function, ExtractionOptions{}, &stats);
  EXPECT_LT(stats.finestRadius, 0.2f);
  EXPECT_GT(stats.cellSize, 1.0);
  EXPECT_LT(mesh.triangleCount(), 20 * 400);
  long components = 0;
  triangleComponents(mesh, &components);
  EXPECT_EQ(components, 1);
}

TEST(SurfaceGrid, SpansTheBoxExactlyWithNearCubicCells) {
  const float boxMin[3] = {-1.0f, 0.1f, 2.0f};
  const float boxMax[3] = {3.0f, 1.1f, 2.3f};
  SurfaceGrid grid = SurfaceGrid::overBox(boxMin, boxMax, 40);
  EXPECT_EQ(grid.n[0], 40);
  EXPECT_EQ(grid.n[1], 10);
  EXPECT_EQ(grid.n[2], 3);
  EXPECT_EQ(grid.blocks[0], (40 + 2 + kBlockCells - 1) / kBlockCells) << "with the closing layer";
  EXPECT_EQ(grid.blocks[2], 1);
  float low[3], high[3];
  grid.point(0, 0, 0, low);
  grid.point(grid.n[0], grid.n[1], grid.n[2], high);
  for (int a = 0; a < 3; ++a) {
    EXPECT_EQ(low[a], boxMin[a]);
    EXPECT_EQ(high[a], boxMax[a]);
  }
  int cell[3];
  grid.cellOf(boxMax, cell);
  EXPECT_EQ(cell[0], 39);
  EXPECT_EQ(cell[2], 2);
  const float flat[3] = {0.0f, 0.0f, 0.0f};
  EXPECT_THROW(SurfaceGrid::overBox(flat, flat, 10), Error);
}

TEST(SurfaceGrid, BandRecordsAreTheFinestLevelPlusUncoveredCoarseRecords) {
  auto function = emptyFunction(-8.0f, 8.0f, 0.0f);
  // Level 1: two records far apart; level 2 refines only near the first.
  function->addLevel({constantRecord(-4, 0, 0, 2.0f, 1.0f, 1), constantRecord(4, 0, 0, 2.0f, 1.0f, 1)});
  function->addLevel({constantRecord(-4.5f, 0, 0, 1.0f, 1.0f, 2), constantRecord(-3.5f, 0, 0, 1.0f, 1.0f, 2)});
  BandSource source = collectBandRecords(*function);
  EXPECT_EQ(source.finestLevel, 2);
  EXPECT_FLOAT_EQ(source.finestRadius, 1.0f);
  std::multiset<std::pair<float, float>> records;
  for (const BandRecord& r : source.records) records.emplace(r.centre[0], r.radius);
  std::multiset<std::pair<float, float>> expected{{-4.5f, 1.0f}, {-3.5f, 1.0f}, {4.0f, 2.0f}};
  EXPECT_EQ(records, expected);

}

TEST(SurfaceExtractor, NoTriangleEverPassesThroughAnother) {
  // Two balls joined by a pinched neck, where the surface turns sharply and
  // its sheets run less than a cell apart: moving an edge's middle onto its
  // own sheet can carry a triangle through another (it did at these two
  // grids before such splits were withdrawn).
  for (auto [apart, resolution] : {std::pair{0.1, 16}, std::pair{0.5, 24}}) {
    const float support = 2.0f, radius = 1.0f;
    const float d = static_cast<float>(radius + 0.5 * apart * 8.0 / resolution);
    auto function = emptyFunction(-4.0f, 4.0f, static_cast<float>(-test::radialWeight(radius / support)));
    function->addLevel({constantRecord(d, 0, 0, support, 1.0f, 1), constantRecord(-d, 0, 0, support, 1.0f, 1)});
    for (float x : {d, -d}) {
      const float centre[3] = {x, 0, 0};
      test::markZeroSet(*function, centre, 4.0f, radius, 2);
    }
    ExtractionStats stats;
    TriangleMesh mesh = extractSurface(*function, withResolution(resolution), &stats);
    expectClosedManifold(mesh, 1, 2);
    EXPECT_GT(stats.splitEdges, 0);
    const std::vector<char> crossing = crossingTriangles(mesh, std::vector<char>(mesh.triangleCount(), 1));
    EXPECT_EQ(std::count(crossing.begin(), crossing.end(), 1), 0) << "grid " << resolution;
  }
  // Bumps overlapping at saddles, where grid edges graze the surface: the
  // gradient steps that place those edges' vertices carried triangles
  // through their neighbours (8 crossing triangles on this grid) until such
  // vertices were put back on their edges.
  const float bumps[8][5] = {{1.41805315f, -0.981914043f, 0.141696811f, 1.50062156f, 1.0f},
                             {0.2926687f, 0.593186378f, 0.327106833f, 1.314816f, 1.0f},
                             {-1.48130918f, -0.826482177f, 1.42882323f, 0.741464198f, -0.7f},
                             {0.398889303f, -0.195625424f, 1.2095356f, 0.852982402f, 1.0f},
                             {1.08897972f, 0.217069387f, -0.906944752f, 0.605159163f, 1.0f},
                             {-0.324701428f, -1.00847328f, 0.312395811f, 1.58340073f, 1.0f},
                             {-0.340286136f, 0.337576032f, -1.47304177f, 1.41194773f, 1.0f},
                             {0.933186293f, 1.36995888f, 0.431742907f, 0.644160092f, -0.7f}};
  auto blobs = emptyFunction(-4.0f, 4.0f, -0.35f);
  std::vector<BasisFunction> records;
  for (const auto& b : bumps) records.push_back(constantRecord(b[0], b[1], b[2], b[3], b[4], 1));
  blobs->addLevel(records);
  ExtractionOptions options = withResolution(32);
  options.fullBox = true;
  ExtractionStats stats;
  TriangleMesh mesh = extractSurface(*blobs, options, &stats);
  expectClosedManifold(mesh, 5, 10);
  EXPECT_GT(stats.settledVertices, 0);
  const std::vector<char> crossing = crossingTriangles(mesh, std::vector<char>(mesh.triangleCount(), 1));
  EXPECT_EQ(std::count(crossing.begin(), crossing.end(), 1), 0);
  // The test itself: a triangle through another is seen; one meeting
  // another at a corner, or lying beside it, is not.
  const float a[3][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const float through[3][3] = {{0.2f, 0.2f, -1}, {0.3f, 0.2f, 1}, {0.2f, 0.3f, 1}};
  const float corner[3][3] = {{1, 0, 0}, {2, 0, 1}, {2, 1, -1}};
  const float beside[3][3] = {{0.2f, 0.2f, 0.1f}, {1, 0.2f, 0.1f}, {0.2f, 1, 0.1f}};
  EXPECT_TRUE(trianglesCross(a[0], a[1], a[2], through[0], through[1], through[2]));
  EXPECT_FALSE(trianglesCross(a[0], a[1], a[2], corner[0], corner[1], corner[2]));
  EXPECT_FALSE(trianglesCross(a[0], a[1], a[2], beside[0], beside[1], beside[2]));
}
}  // namespace
}  // namespace wendfit
