#include "driver/mesh_command.h"

#include <charconv>
#include <chrono>
#include <cinttypes>
#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "core/option_number.h"
#include "fitting/sample_sides.h"
#include "mesh/mesh_writer.h"
#include "mesh/surface_grid.h"
#include "mesh/vertex_curvature.h"
#include "spatial/nearest_points.h"

namespace wendfit {

namespace {

// A piece's sides are asked this many sample spacings from its faces: the
// samples' winding number is settled there (on a blister of diplodocus at
// 1,000,000 points its median was 0.02 behind the faces, on the detached
// ear tips of bull and triceratops 0.74-0.76, and 0.25 in front of the
// bodies), and the solid behind even a thin piece is reached.
constexpr double kSideDepthSpacings = 0.25;

// Pieces wider than this many finest support radii keep their place
// whatever the winding number says of them. A blister where a scan folds
// through itself is about as wide as the finest support (1.1 radii on
// diplodocus at 1,000,000 points, 1.6 on the cow of libcgal-demo); the part
// of a lone triangle outside the solid it pierces (26 radii) is data the
// winding number cannot judge, as an open sheet encloses nothing.
constexpr double kWidestContradictedRadii = 2.0;

long parseWhole(const std::vector<std::string>& arguments, size_t i, long low, long high) {
  if (i + 1 >= arguments.size()) throw MeshUsageError(arguments[i] + " needs a value");
  const std::string& text = arguments[i + 1];
  const std::optional<long long> value = parseWholeArgument(text, low, high);
  if (!value) {
    throw MeshUsageError(arguments[i] + ": \"" + text + "\" is not a whole number in " + std::to_string(low) +
                         " ... " + std::to_string(high));
  }
  return static_cast<long>(*value);
}

// Each vertex's distance to the nearest data point (`index`, over the data),
// both in the function's coordinates, divided by the input scale into input
// units; also fills the summary's spacing (from `spacing`, the data's, in
// the function's coordinates) and largest distance.
std::vector<float> distancesToData(const TriangleMesh& mesh, const NearestPoints& index, double spacing,
                                   const MeshOptions& options, MeshSummary& summary) {
  std::vector<double> distances = nearestDistances(index, mesh.positions.data(), mesh.vertexCount());
  std::vector<float> quality(distances.size());
  double largest = 0.0;
  for (size_t v = 0; v < distances.size(); ++v) {
    largest = std::max(largest, distances[v]);
    quality[v] = static_cast<float>(distances[v] / options.inputScale);
  }
  summary.sampleSpacing = spacing / options.inputScale;
  summary.maxDataDistance = largest / options.inputScale;
  return quality;
}

// A piece of the surface that fewer data points than this have as their
// nearest surface is not theirs: wendfit-reconstruct drops a cluster of so
// few points as stray before the fit, and a real piece holds its samples. On
// sharp-edged shapes the fit leaves bubbles of one or two sample spacings
// beside the edges, each the nearest surface of one to five points (ten of
// them on a triple torus sampled at 100,000 points).
constexpr long kLeastSupport = 8;
// A piece whose vertices lie farther than this many sample spacings from the
// data at their median was grown around a few points, not through them: a
// cluster of points off the surface (a floater of a scan) whose normals
// agree makes the coarse levels close a surface as wide as their supports
// around it. Fifty clusters of 15 points scattered through a bear's box left
// 18 pieces of up to 0.4 of its box across, the larger ones' vertices tens of
// spacings from any point at their median. A piece the data describe lies
// within about 0.4 of a spacing of them there, and one sampled ten times as
// sparsely within about 4.
constexpr double kFarthestMedianSpacings = 4.0;

// Counts for each vertex the data points whose nearest vertex it is, then
// drops the components that hold fewer than kLeastSupport of them, and those
// that lie far from the data (kFarthestMedianSpacings; with an index over
// the data and its spacing).
long dropUnsupported(TriangleMesh& mesh, const PointSet& points, const NearestPoints* dataIndex, double spacing) {
  if (mesh.vertexCount() == 0) return 0;
  NearestPoints index(mesh.positions.data(), static_cast<int>(mesh.vertexCount()));
  std::vector<int> nearest(static_cast<size_t>(points.count));
#pragma omp parallel for schedule(static)
  for (int i = 0; i < points.count; ++i) {
    double distSq = 0.0;
    nearest[i] = index.nearest(points.position(i), &distSq);
  }
  std::vector<int> support(static_cast<size_t>(mesh.vertexCount()), 0);
  for (int v : nearest) {
    if (v >= 0) ++support[v];
  }
  if (!dataIndex || !(spacing > 0.0)) return dropLightComponents(mesh, support, kLeastSupport);
  return dropUnsupportedComponents(
      mesh, support, kLeastSupport,
      [dataIndex](const float* p) {
        double distSq = 0.0;
        dataIndex->nearest(p, &distSq);
        return std::sqrt(distSq);
      },
      kFarthestMedianSpacings * spacing);
}

}  // namespace

int parseMeshOption(const std::vector<std::string>& arguments, size_t i, MeshOptions& options) {
  const std::string& option = arguments[i];
  if (option == "--resolution") {
    options.extraction.resolution = static_cast<int>(parseWhole(arguments, i, 1, kMaxResolution));
    return 2;
  }
  if (option == "--min-component") {
    options.minComponent = parseWhole(arguments, i, 0, INT32_MAX);
    return 2;
  }
  bool* flag = option == "--full-box" ? &options.extraction.fullBox
               : option == "--flip"   ? &options.extraction.flip
               : option == "--normals" ? &options.extraction.normals
               : option == "--quick-terms" ? &options.extraction.quickTerms
               : option == "--ascii"  ? &options.ascii
               : option == "--require-watertight" ? &options.requireWatertight
               : option == "--quality" ? &options.quality
               : option == "--curvature" ? &options.curvature
                                      : nullptr;
  if (!flag) return 0;
  *flag = true;
  return 1;
}

std::string meshOptionsHelp(int cellsPerRadius) {
  return "  --resolution N     cells along the longest side of the function's box (at most\n"
         "                     " +
         std::to_string(kMaxResolution) + "; " + std::to_string(kMaxFullBoxResolution) +
         " with --full-box).\n"
         "                     Default: a cell of 1/" +
         std::to_string(cellsPerRadius) +
         " of the finest level's support radius,\n"
         "                     so the grid follows the finest fitted detail, but not\n"
         "                     finer than about one sample spacing of the finest\n"
         "                     centres (twice their median neighbour distance).\n"
         "  --full-box         look for the surface in every cell, not only from the data.\n"
         "  --flip             reverse the triangles and normals. Normally they point\n"
         "                     outside, to the sign the function has at its box's corners.\n"
         "  --normals          write per-vertex normals from the function's gradient.\n"
         "  --quick-terms      sum the function's terms in single precision: about twice\n"
         "                     as fast, vertices within float rounding of the full terms'.\n"
         "  --min-component K  drop connected components of fewer than K triangles.\n"
         "  --ascii            ASCII PLY instead of binary little-endian PLY.\n"
         "  --require-watertight  an error (status 1, no mesh) unless the mesh is closed.\n"
         "  --quality          PLY only: each vertex's distance to the nearest input point.\n"
         "  --curvature        PLY only: exact curvatures of the surface at each vertex\n"
         "                     (per input unit): mean_curvature, gaussian_curvature,\n"
         "                     k1 >= k2; positive where the surface bends away from\n"
         "                     its normals (1/r on a ball of radius r).\n"
         "Tracing: the surface is followed from the cells holding the centres of the\n"
         "finest-level basis functions (and of coarser ones near which the next level\n"
         "has no centre) through every cell it crosses, anywhere in the box. Sheets\n"
         "that never come near those centres are not extracted; --full-box extracts\n"
         "everywhere, so its component count also counts sheets detached from the data.\n"
         "Faces: vertices lie on the surface on grid edges; a face that bulges off the\n"
         "surface by more than 0.04 cells between them (or by more than the data's\n"
         "noise, when known) is split by a vertex on the surface at its edge or centre.\n"
         "When the input points are known, the summary line gives the largest distance\n"
         "of a vertex from them, in median sample spacings and in input units.\n"
         "Box rule: points beyond the box count as outside (the sign at the box's\n"
         "corners), so where the zero set meets the box the mesh is closed by the\n"
         "box's faces. The mesh has no zero-area triangles; the summary line counts\n"
         "boundary and non-manifold edges and says \"watertight\" when there are none.\n"
         "The mesh format follows MESH_FILE's extension: .ply, .obj, .off or .stl (binary).\n";
}

MeshSummary writeFunctionMesh(const ImplicitFunction& function, const std::string& meshPath,
                              const MeshOptions& options, std::FILE* log, const PointSet* dataPoints) {
  MeshFormat format = meshFormatFor(meshPath, options.ascii);
  if (options.quality && (!dataPoints || (format != MeshFormat::BinaryPly && format != MeshFormat::AsciiPly))) {
    throw Error(meshPath + ": per-vertex quality needs the input points and a PLY mesh (expected both)");
  }
  if (options.curvature && format != MeshFormat::BinaryPly && format != MeshFormat::AsciiPly) {
    throw Error(meshPath + ": per-vertex curvature needs a PLY mesh (expected a name ending in .ply)");
  }
  if (!(options.inputScale > 0.0) || !std::isfinite(options.inputScale)) {
    throw Error("the input scale " + std::to_string(options.inputScale) + " is not a positive number");
  }
  auto start = std::chrono::steady_clock::now();
  MeshSummary summary;
  TriangleMesh mesh;
  try {
    mesh = extractSurface(function, options.extraction, &summary.stats);
  } catch (const Error& error) {
    throw Error(meshPath + ": " + error.what() + " (the mesh was not written)");
  }
  // One index over the data serves its spacing and the vertices' distances:
  // the data's sides already hold one when they cover every point (a
  // distance does not depend on the points' order), which saves building it
  // again (0.27 s at 1,000,000 points).
  std::unique_ptr<NearestPoints> ownIndex;
  const NearestPoints* dataIndex = nullptr;
  if (dataPoints && dataPoints->count > 0) {
    const NearestPoints* shared = options.dataSides ? options.dataSides->nearestIndex() : nullptr;
    if (shared && shared->size() == dataPoints->count) {
      dataIndex = shared;
    } else {
      ownIndex = std::make_unique<NearestPoints>(dataPoints->positions.data(), dataPoints->count);
      dataIndex = ownIndex.get();
    }
  }
  // The data's median sample spacing, in the function's coordinates.
  double spacing = options.dataSpacing;
  if (!(spacing > 0.0) && dataIndex) spacing = medianSpacing(*dataIndex);
  if (options.minComponent > 0) summary.droppedComponents = dropSmallComponents(mesh, options.minComponent);
  // Both piece filters keep the largest piece whatever it is, so a mesh of
  // one piece passes them unchanged: they are skipped then, and with them
  // the search for every data point's nearest vertex (0.3 s at 1,000,000
  // points).
  long pieces = 0;
  if (options.dropUnsupported || options.dropSmallPieces) triangleComponents(mesh, &pieces);
  if (pieces > 1 && options.dropUnsupported && dataPoints && dataPoints->count > 0) {
    summary.unsupportedComponents = dropUnsupported(mesh, *dataPoints, dataIndex, spacing);
  }
  if (pieces > 1 && options.dropSmallPieces) {
    const MeshTopology edges = edgeTopology(mesh);
    if (edges.boundaryEdges == 0 && edges.nonManifoldEdges == 0) {
      const auto ball = [](double radius) { return 4.0 / 3.0 * 3.14159265358979323846 * radius * radius * radius; };
      summary.smallPieces = dropSmallPieces(mesh, ball(summary.stats.finestRadius), ball(spacing),
                                            options.extraction.flip);
      if (options.dataSides && spacing > 0.0) {
        const SampleSides& sides = *options.dataSides;
        summary.contradictedPieces = dropContradictedPieces(
            mesh, [&sides](const float* p) { return sides.winding(p); }, kSideDepthSpacings * spacing,
            kWidestContradictedRadii * summary.stats.finestRadius, options.extraction.flip);
      }
    }
  }
  std::vector<float> quality;
  if (dataIndex) quality = distancesToData(mesh, *dataIndex, spacing, options, summary);
  std::vector<VertexProperty> properties;
  if (options.quality) properties.push_back({"quality", std::move(quality)});
  if (options.curvature) {
    // Evaluated before the positions are scaled to the input's units.
    for (VertexProperty& property : vertexCurvatures(
             function, mesh, normalsTowardsLower(summary.stats, options.extraction), options.inputScale)) {
      properties.push_back(std::move(property));
    }
  }
  if (options.inputScale != 1.0) {
    for (float& x : mesh.positions) x = static_cast<float>(static_cast<double>(x) / options.inputScale);
    // Vertices that the function's coordinates still told apart can
    // coincide in the input's units, leaving triangles of no area there
    // (two on a fan disk of 265,000): those collapse again, and the
    // vertex properties follow their vertices.
    std::vector<int> kept;
    if (collapseZeroAreaTriangles(mesh, &kept) > 0) {
      for (VertexProperty& property : properties) {
        std::vector<float> values(kept.size());
        for (size_t v = 0; v < kept.size(); ++v) values[v] = property.values[kept[v]];
        property.values = std::move(values);
      }
    }
  }
  triangleComponents(mesh, &summary.components);
  summary.vertices = mesh.vertexCount();
  summary.triangles = mesh.triangleCount();
  MeshTopology edges = edgeTopology(mesh);
  summary.boundaryEdges = edges.boundaryEdges;
  summary.nonManifoldEdges = edges.nonManifoldEdges;
  requireWatertight(meshPath, options, summary);
  writeMesh(mesh, meshPath, format, options.toolName, properties);
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (log) {
    std::fprintf(log, "%s\n", summaryLine(meshPath, options, summary).c_str());
    std::fflush(log);
  }
  return summary;
}

std::string coarseGridReason(const MeshOptions& options, const MeshSummary& summary) {
  const ExtractionStats& s = summary.stats;
  if (summary.triangles > 0 || options.extraction.resolution == 0 || !(s.finestRadius > 0.0f) ||
      !(s.cellSize > s.finestRadius)) {
    return "";
  }
  char text[320];
  std::snprintf(text, sizeof text,
                "no surface at --resolution %d: its cells are %.3g times the finest support radius and can step "
                "over the whole surface; leave --resolution out or give a finer one",
                options.extraction.resolution, s.cellSize / s.finestRadius);
  return text;
}

void requireWatertight(const std::string& meshPath, const MeshOptions& options, const MeshSummary& summary) {
  if (options.requireSurface && summary.triangles == 0) {
    std::string reason = coarseGridReason(options, summary);
    if (reason.empty()) {
      reason = options.emptyReason.empty() ? "no surface: the fitted function has no zero level inside its box"
                                           : options.emptyReason;
    }
    throw Error(meshPath + ": " + reason + " (the mesh was not written)");
  }
  if (!options.requireWatertight || (summary.boundaryEdges == 0 && summary.nonManifoldEdges == 0)) return;
  throw Error(meshPath + ": the mesh is not watertight: " + std::to_string(summary.boundaryEdges) +
              " boundary edges, " + std::to_string(summary.nonManifoldEdges) +
              " non-manifold edges (expected 0 and 0; the mesh was not written)");
}

std::string summaryLine(const std::string& meshPath, const MeshOptions& options, const MeshSummary& summary) {
  char text[512];
  std::snprintf(text, sizeof text, "Mesh %s: %ld vertices, %ld triangles, %ld component%s", meshPath.c_str(),
                summary.vertices, summary.triangles, summary.components, summary.components == 1 ? "" : "s");
  std::string line = text;
  if (options.minComponent > 0) {
    std::snprintf(text, sizeof text, " (%ld dropped below %ld triangles)", summary.droppedComponents,
                  options.minComponent);
    line += text;
  }
  if (summary.boundaryEdges == 0 && summary.nonManifoldEdges == 0) {
    line += ", watertight";
  } else {
    std::snprintf(text, sizeof text, ", not watertight (%ld boundary edges, %ld non-manifold edges)",
                  summary.boundaryEdges, summary.nonManifoldEdges);
    line += text;
  }
  if (summary.maxDataDistance >= 0.0 && summary.vertices > 0) {
    if (summary.sampleSpacing > 0.0) {
      std::snprintf(text, sizeof text, ", farthest vertex %.3g sample spacings (%.3g) from the data",
                    summary.maxDataDistance / summary.sampleSpacing, summary.maxDataDistance);
    } else {
      std::snprintf(text, sizeof text, ", farthest vertex %.3g from the data", summary.maxDataDistance);
    }
    line += text;
  }
  std::snprintf(text, sizeof text, ", %ld evaluations, resolution %d, %.2f s", summary.stats.evaluations,
                summary.stats.resolution, summary.seconds);
  return line + text;
}

}  // namespace wendfit
